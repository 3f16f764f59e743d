#include "exclusivefile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(const QString &what, const QString &path, int code)
{
    return QStringLiteral("cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code)));
}

int openExclusive(const QByteArray &name, mode_t mode)
{
    int fd;
    do {
        fd = ::open(name.constData(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

ExclusiveFile::~ExclusiveFile()
{
    if (fd >= 0)
        ::close(fd);
}

bool ExclusiveFile::create(const QString &filePath, mode_t mode, bool replaceLeftover, QString &error)
{
    if (fd >= 0) {
        error = QStringLiteral("cannot create %1: another file is open").arg(filePath);
        return false;
    }
    const QByteArray name = QFile::encodeName(filePath);
    fd = openExclusive(name, mode);
    int code = errno;
    if (fd < 0 && code == EEXIST) {
        struct stat st {};
        const bool seen = ::lstat(name.constData(), &st) == 0;
        if (seen && S_ISLNK(st.st_mode)) {
            error = QStringLiteral("cannot create %1: a link is in its place, and links are not followed")
                        .arg(filePath);
            return false;
        }
        if (replaceLeftover && seen && S_ISREG(st.st_mode)) {
            if (::unlink(name.constData()) == 0)
                fd = openExclusive(name, mode);
            code = errno;
        }
    }
    if (fd < 0) {
        error = systemError(QStringLiteral("create"), filePath, code);
        return false;
    }
    path = filePath;
    return true;
}

bool ExclusiveFile::setInheritable(bool inheritable)
{
    return fd >= 0 && ::fcntl(fd, F_SETFD, inheritable ? 0 : FD_CLOEXEC) == 0;
}

bool ExclusiveFile::sync(QString &error)
{
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error = systemError(QStringLiteral("flush"), path, errno);
        return false;
    }
    return true;
}

bool ExclusiveFile::close(QString &error)
{
    if (fd < 0)
        return true;
    const int rc = ::close(fd);
    fd = -1;
    if (rc != 0 && errno != EINTR) {
        error = systemError(QStringLiteral("close"), path, errno);
        return false;
    }
    return true;
}
