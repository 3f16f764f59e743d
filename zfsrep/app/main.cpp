// zfsrep: the ZFS replication service. Reads its configuration, opens the
// mission database, starts the scheduler and serves the local RPC socket
// until SIGINT or SIGTERM.
#include "appdata.h"
#include "pipebuffer.h"
#include "transfercommands.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include <sys/resource.h>

namespace {

// How long a quit waits for the running transfer to record its outcome.
constexpr int kShutdownMs = 10000;

// Every connection holds two descriptors; Qt's server stops accepting for
// good once accept() fails for want of one, so the soft limit is raised to
// the hard one.
void raiseDescriptorLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // A pipeline's helper call becomes its program at once.
    if (PipeBuffer::isCall(argc, argv))
        return PipeBuffer::run(argc, argv);
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption cfg(QStringLiteral("cfg"),
                                 QStringLiteral("Read the configuration from <filepath> (JSON; default "
                                                "/tarn/etc/vaultclient/config.json)."),
                                 QStringLiteral("filepath"));
    const QCommandLineOption upload(QStringLiteral("upload"),
                                    QStringLiteral("Accepted for compatibility with older start scripts; no effect."));
    const QCommandLineOption restore(QStringLiteral("restore"),
                                     QStringLiteral("Accepted for compatibility with older start scripts; no effect."));
    parser.addHelpOption();
    parser.addOption(cfg);
    parser.addOption(upload);
    parser.addOption(restore);
    parser.process(app);
    const QString configPath = parser.isSet(cfg) ? parser.value(cfg) : QString();
    // The streams' meter runs with large pipes around it, through this
    // very executable.
    TransferCommands::setMeterPipeBuffer(QCoreApplication::applicationFilePath(), PipeBuffer::kBytes);

    AppData *appData = AppData::create();
    if (!appData) {
        std::fputs("zfsrep: cannot create the application object\n", stderr);
        return -1;
    }
    if (!appData->initialize(configPath) || !appData->start()) {
        // One line a service manager's journal shows beside the exit status.
        std::fprintf(stderr, "zfsrep: %s\n", appData->failureText().toLocal8Bit().constData());
        return -1;
    }
    const int result = app.exec();
    appData->shutdown(kShutdownMs);
    return result;
}
