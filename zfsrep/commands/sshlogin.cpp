#include "sshlogin.h"

#include "trustedfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SshLogin {

namespace {

QString &identity()
{
    static QString value;
    return value;
}

QString &knownHosts()
{
    static QString value = kDefaultKnownHostsFile;
    return value;
}

} // namespace

void setIdentityFile(const QString &path) { identity() = path; }

QString identityFile() { return identity(); }

void setKnownHostsFile(const QString &path) { knownHosts() = path; }

QString knownHostsFile() { return knownHosts(); }

bool usesKey(bool passwordless) { return passwordless && !identity().isEmpty(); }

bool usesKey(const QString &passwd) { return usesKey(passwd.isEmpty()); }

QStringList arguments(int port, bool keyLogin)
{
    QStringList list{QStringLiteral("-p"), QString::number(port), QStringLiteral("-o"),
                     QStringLiteral("StrictHostKeyChecking=accept-new"), QStringLiteral("-o"),
                     QStringLiteral("UserKnownHostsFile=") + knownHosts()};
    if (keyLogin)
        list << QStringLiteral("-i") << identity() << QStringLiteral("-o") << QStringLiteral("IdentitiesOnly=yes")
             << QStringLiteral("-o") << QStringLiteral("BatchMode=yes");
    return list;
}

QString identityProblem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (path.isEmpty() || ::stat(name.constData(), &info) != 0)
        return QStringLiteral("sshidentity %1 does not exist").arg(path);
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("sshidentity %1 is not a regular file").arg(path);
    if ((info.st_mode & 077) != 0)
        return QStringLiteral("sshidentity %1 has mode %2: a private key must be owner-only (chmod 600)")
            .arg(path)
            .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (::access(name.constData(), R_OK) != 0)
        return QStringLiteral("sshidentity %1 is not readable").arg(path);
    // ssh reads "-i" and "UserKnownHostsFile=" values up to white space.
    for (const QChar c : path) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("sshidentity %1 contains white space").arg(path);
    }
    // Whoever can replace the key (its owner, a writer of its directory)
    // chooses how the service logs in: root's, no link, trusted places.
    return TrustedFile::problem(path, QStringLiteral("sshidentity"));
}

QString prepareKnownHostsFile(const QString &path)
{
    for (const QChar c : path) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("known-hosts file %1 contains white space").arg(path);
    }
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return QStringLiteral("cannot create known-hosts file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!ok)
        return QStringLiteral("cannot set mode 0600 on known-hosts file %1").arg(path);
    return QString();
}

QString knownHostsName(const QString &host, int port)
{
    if (port == 22)
        return host;
    return QLatin1Char('[') + host + QStringLiteral("]:") + QString::number(port);
}

} // namespace SshLogin
