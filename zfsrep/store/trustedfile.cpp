#include "trustedfile.h"

#include "trusteddirectories.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TrustedFile::~TrustedFile() { close(); }

QString TrustedFile::directoryOwnerProblem(const QString &directory, uid_t self)
{
    // The directories as they are reached, links resolved (the links
    // themselves were judged by TrustedDirectories).
    QString place = QFileInfo(directory).canonicalFilePath();
    if (place.isEmpty())
        return QStringLiteral("cannot use the directory %1").arg(directory);
    for (;;) {
        struct stat info {};
        if (::stat(QFile::encodeName(place).constData(), &info) != 0)
            return QStringLiteral("cannot use the directory %1: %2").arg(place, QString::fromLocal8Bit(std::strerror(errno)));
        if (info.st_uid != 0 && info.st_uid != self)
            return QStringLiteral("the directory %1 belongs to uid %2, not root").arg(place).arg(info.st_uid);
        if (place == QLatin1String("/"))
            return QString();
        place = QFileInfo(place).path();
    }
}

QString TrustedFile::ownershipProblem(const QString &path, const QString &what, mode_t mode, uid_t owner, uid_t self)
{
    if (!S_ISREG(mode))
        return QStringLiteral("the %1 %2 is not a regular file").arg(what, path);
    if (owner != 0 && owner != self)
        return QStringLiteral("the %1 %2 belongs to uid %3: the service reads only files that root owns (chown root %2)")
            .arg(what, path)
            .arg(owner);
    if ((mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("the %1 %2 has mode %3: the service reads only files that no one but their owner can "
                              "write (chmod go-w %2)")
            .arg(what, path)
            .arg(mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

bool TrustedFile::open(const QString &path, const QString &what, QString &error)
{
    close();
    if (!path.startsWith(QLatin1Char('/'))) {
        error = QStringLiteral("the %1 %2 is not an absolute path").arg(what, path);
        return false;
    }
    // The directories first: in one that others can write, the name could
    // be made to lead elsewhere between any check and the open.
    QString untrusted;
    if (!TrustedDirectories::check(QFileInfo(path).absolutePath(), untrusted)) {
        error = QStringLiteral("the %1 %2 is refused: %3").arg(what, path, untrusted);
        return false;
    }
    // And each of them belongs to root (or the service's user): the owner
    // of a directory may rename what is in it whatever its mode says.
    const QString owners = directoryOwnerProblem(QFileInfo(path).absolutePath(), ::geteuid());
    if (!owners.isEmpty()) {
        error = QStringLiteral("the %1 %2 is refused: %3").arg(what, path, owners);
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    int opened;
    do {
        // O_NONBLOCK: a FIFO planted at the name does not hang the open (it
        // is refused below as no regular file).
        opened = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        error = errno == ELOOP ? QStringLiteral("the %1 %2 is a link, and links are not followed").arg(what, path)
                               : QStringLiteral("cannot open the %1 %2: %3")
                                     .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {};
    if (::fstat(opened, &info) != 0) {
        error = QStringLiteral("cannot open the %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(opened);
        return false;
    }
    error = ownershipProblem(path, what, info.st_mode, info.st_uid, ::geteuid());
    if (!error.isEmpty()) {
        ::close(opened);
        return false;
    }
    ::fcntl(opened, F_SETFL, ::fcntl(opened, F_GETFL) & ~O_NONBLOCK);
    fd = opened;
    bytes = info.st_size;
    return true;
}

bool TrustedFile::setInheritable(bool inheritable)
{
    return fd >= 0 && ::fcntl(fd, F_SETFD, inheritable ? 0 : FD_CLOEXEC) == 0;
}

bool TrustedFile::rewind() { return fd >= 0 && ::lseek(fd, 0, SEEK_SET) == 0; }

void TrustedFile::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    bytes = 0;
}

QString TrustedFile::problem(const QString &path, const QString &what)
{
    TrustedFile file;
    QString error;
    file.open(path, what, error);
    return error;
}
