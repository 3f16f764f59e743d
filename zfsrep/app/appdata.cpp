#include "appdata.h"

#include "configcheck.h"
#include "configfile.h"
#include "configsections.h"
#include "runlimitsconfig.h"
#include "quitsignals.h"
#include "sshlogin.h"
#include <QJsonArray>
#include "tq2dbsqlite.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2rpcpacket.h"
#include "tq2utils.h"
#include "zfscommands.h"

#include <QFile>
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
    configFile = configPath.isEmpty() ? configDir.absoluteFilePath(QStringLiteral("config.json")) : configPath;
    // Without a readable configuration there is no socket name, so start-up
    // could only fail later; it fails here, saying why.
    if (!ConfigFile::read(configFile, config, failure))
        return false;
    // A value of the wrong type or range keeps its default, and a key this
    // service does not know is ignored; each is said once, here.
    QStringList configWarnings;
    config = ConfigCheck::checked(config, configWarnings);
    for (const QString &line : configWarnings)
        std::fprintf(stderr, "zfsrep: warning: configuration %s: %s\n", qPrintable(configFile), qPrintable(line));
    // Every ssh offers the ciphers in the order measured fastest for this CPU
    // unless the configuration names its own list.
    const QString ciphers = config.value(QStringLiteral("sshciphers")).toString().trimmed();
    ZfsCommands::setCipherOrder(ciphers.isEmpty()
                                    ? ZfsCommands::cipherOrderFor(ZfsCommands::cpuFlagsOf(QStringLiteral("/proc/cpuinfo")))
                                    : ciphers);
    // Missions and queries without a password log in with this key. A key
    // that ssh would refuse (readable by others) stops the start here, not
    // every run later.
    const QString identity = config.value(QStringLiteral("sshidentity")).toString().trimmed();
    if (!identity.isEmpty()) {
        failure = SshLogin::identityProblem(identity);
        if (!failure.isEmpty())
            return false;
    }
    SshLogin::setIdentityFile(identity);
    // A malformed notice or hook entry would fail silently later, run after
    // run, and run limits out of range would run too many transfers or
    // none: each stops the start instead, naming the key.
    NoticeSettings notices;
    QMap<QString, HookDefinition> hooks;
    RunLimits limits;
    QString fault;
    if (!ConfigSections::notify(config, notices, fault) || !ConfigSections::hooks(config, hooks, fault)
        || !RunLimitsConfig::read(config, limits, fault)) {
        failure = QStringLiteral("configuration file %1: %2").arg(configFile, fault);
        return false;
    }
    zfsrep.setNotices(notices);
    zfsrep.scheduler().setLimits(limits);
    // Before the missions are read: a stored mission's hook is checked
    // against these names.
    HookCatalogue::set(hooks);
    TQ2Journals journals;
    if (router.loadConfigure(journals, config)) {
        // A schema older than the statements would fail every listing:
        // better not to serve at all, and say why.
        const QString upgrade = zfsrep.db().upgradeFailure();
        if (!upgrade.isEmpty()) {
            failure = QStringLiteral("cannot upgrade database %1: %2").arg(MXZfsrep::kDatabasePath, upgrade);
            return false;
        }
        // The host keys ssh records live beside the database, owner-only.
        failure = SshLogin::prepareKnownHostsFile(SshLogin::knownHostsFile());
        return failure.isEmpty();
    }
    const QJsonArray entries = journals.segments();
    const QString reason = entries.isEmpty() ? QString()
                                             : entries.last().toObject().value(QStringLiteral("msg")).toString();
    failure = QStringLiteral("cannot open database %1: %2").arg(MXZfsrep::kDatabasePath, reason);
    return false;
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
    if (lpcid.isEmpty()) {
        failure = QStringLiteral("configuration file %1 has no \"lpcid\" (the local socket name)").arg(configFile);
        return false;
    }
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
    if (!server.start(lpcid)) {
        failure = QStringLiteral("cannot listen on local socket %1: %2").arg(lpcid, server.errorString());
        return false;
    }
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
    zfsrep.scheduler().shutdown(timeoutMs);
    // Notices still queued are dropped; the history says which failures
    // were not announced, and the next start sends them.
    zfsrep.notices().stop();
}
