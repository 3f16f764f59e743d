// zfsrep: the ZFS replication service. Reads its configuration, opens the
// mission database, starts the scheduler and serves the local RPC socket
// until SIGINT or SIGTERM.
#include "appdata.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

// How long a quit waits for the running transfer to record its outcome.
constexpr int kShutdownMs = 10000;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption cfg(QStringLiteral("cfg"), QStringLiteral("指定配置文件"), QStringLiteral("filepath"));
    const QCommandLineOption upload(QStringLiteral("upload"), QStringLiteral("立即上传备份"));
    const QCommandLineOption restore(QStringLiteral("restore"), QStringLiteral("完整恢复备份"));
    parser.addHelpOption();
    parser.addOption(cfg);
    parser.addOption(upload);
    parser.addOption(restore);
    parser.process(app);
    const QString configPath = parser.isSet(cfg) ? parser.value(cfg) : QString();

    AppData *appData = AppData::create();
    if (!appData || !appData->initialize(configPath))
        return -1;
    if (!appData->start())
        return -1;
    const int result = app.exec();
    appData->shutdown(kShutdownMs);
    return result;
}
