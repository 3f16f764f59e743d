#include "appdata.h"

#include "quitsignals.h"
#include "tq2file.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2rpcpacket.h"
#include "tq2utils.h"

#include <QMetaType>

#include <csignal>
#include <cstdio>
#include <new>

namespace {

AppData *instance = nullptr;

} // namespace

AppData *IAppData() { return instance; }

AppData *AppData::create()
{
    if (!instance) {
        try {
            instance = new AppData();
        } catch (...) {
            instance = nullptr;
        }
    }
    return instance;
}

AppData::AppData() : QObject(nullptr), router(zfsrep), server(nullptr)
{
    QuitSignals::install(SIGHUP);
    QuitSignals::install(SIGPIPE);
    qRegisterMetaType<TQ2RpcPacket>("TQ2RpcPacket");
    configDir = QDir(QStringLiteral("/tarn/etc/vaultclient"));
    server.add(&router);
    QuitSignals::install(SIGINT);
    QuitSignals::install(SIGTERM);
}

bool AppData::initialize(const QString &configPath)
{
    const QString path = configPath.isEmpty() ? configDir.absoluteFilePath(QStringLiteral("config.json")) : configPath;
    config = TQ2File::readJsonObject(path);
    TQ2Journals journals;
    return router.loadConfigure(journals, config);
}

bool AppData::start()
{
    TQ2Journals myJournals;
    if (!zfsrep.start(myJournals)) {
        QMutexLocker lock(&PRINTMUTEX());
        PRINTPOS("appdata.cpp", 121, "start");
        PRINTNAME(QStringLiteral("myJournals.toObject()"));
        PRINTLN(myJournals.toObject());
        return false;
    }
    debugging = toBool(config.value(QStringLiteral("debugging")));
    appname = config.value(QStringLiteral("appname")).toString().trimmed();
    lpcid = config.value(QStringLiteral("lpcid")).toString();
    if (lpcid.isEmpty())
        return false;
    server.setDebugging(debugging.load());
    QStringList warnings;
    server.setLimits(TQ2ServerLimits::fromConfig(config, &warnings));
    const QString group = config.value(QStringLiteral("lpcgroup")).toString().trimmed();
    if (!group.isEmpty())
        server.setAccess(TQ2PeerAccess::forGroup(group));
    if (!server.peerAccess().isValid())
        warnings.append(QStringLiteral("lpcgroup: no group named %1").arg(group));
    for (const QString &line : warnings)
        std::fprintf(stderr, "zfsrep: %s\n", qPrintable(line));
    if (!server.start(lpcid))
        return false;
    if (group.isEmpty())
        std::fprintf(stderr, "zfsrep: warning: %s is world-accessible: every local user may call every "
                             "method (set lpcgroup to restrict it)\n",
                     qPrintable(TQ2LocalServer::socketPath(lpcid)));
    if (debugging.load())
        PRINTLN(QStringLiteral("Local agent: ") + lpcid);
    return true;
}

void AppData::shutdown(int timeoutMs)
{
    server.stop();
    zfsrep.shutdown(timeoutMs);
}
