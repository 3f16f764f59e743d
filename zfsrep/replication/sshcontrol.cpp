#include "sshcontrol.h"

#include "zfscommands.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The master logs in within the connect timeout or not at all.
constexpr int kMasterFinishMs = 30000;

std::atomic<int> sequence{0};

} // namespace

SshControl::SshControl(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint, const QString &passwd,
                       const QString &directory, int msnno, const CancelToken *cancel)
    : processRunner(runner), plain(endpoint)
{
    open = start(passwd, directory, msnno, cancel);
}

SshControl::~SshControl()
{
    if (!open)
        return;
    processRunner.run(ZfsCommands::sshControlRequest(plain.host, plain.port, plain.userid, path, QStringLiteral("exit")));
    QFile::remove(path);
}

TransferCommands::Endpoint SshControl::endpoint() const
{
    TransferCommands::Endpoint shared = plain;
    if (open)
        shared.controlPath = path;
    return shared;
}

QString SshControl::defaultDirectory()
{
    if (::access("/run", W_OK) == 0)
        return QStringLiteral("/run/zfsrep/ssh");
    return QDir::tempPath() + QStringLiteral("/zfsrep-ssh-") + QString::number(::getuid());
}

bool SshControl::start(const QString &passwd, const QString &directory, int msnno, const CancelToken *cancel)
{
    if (directory.isEmpty() || !QDir().mkpath(directory))
        return false;
    // Only the service's user may reach the sockets: a socket there is a
    // logged-in connection to the backup host.
    struct stat info {};
    if (::chmod(QFile::encodeName(directory).constData(), 0700) != 0
        || ::stat(QFile::encodeName(directory).constData(), &info) != 0 || info.st_uid != ::getuid()
        || (info.st_mode & 077) != 0)
        return false;
    path = directory + QStringLiteral("/m%1-%2-%3").arg(msnno).arg(::getpid()).arg(++sequence);
    QFile::remove(path);
    ProcessRequest masterRequest =
        ZfsCommands::sshMasterRequest(plain.host, plain.port, plain.userid, passwd, path, kMasterFinishMs);
    masterRequest.cancel = cancel;
    const ProcessOutcome master = processRunner.run(masterRequest);
    if (!master.succeeded()) {
        // A master that logged in before the cancel ended its parent may
        // still run in the background: ask it to exit.
        if (master.cancelled)
            processRunner.run(ZfsCommands::sshControlRequest(plain.host, plain.port, plain.userid, path, QStringLiteral("exit")));
        return false;
    }
    ProcessRequest checkRequest =
        ZfsCommands::sshControlRequest(plain.host, plain.port, plain.userid, path, QStringLiteral("check"));
    checkRequest.cancel = cancel;
    return processRunner.run(checkRequest).succeeded();
}
