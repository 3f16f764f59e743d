#include "durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DurableFile {

namespace {

QString systemError(const QString &what, const QString &path, int code)
{
    return QStringLiteral("cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code)));
}

bool syncPath(const QString &path, int flags, const QString &what, QString &error)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = systemError(QStringLiteral("open"), path, errno);
        return false;
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const int code = errno;
    ::close(fd);
    if (rc != 0) {
        error = systemError(what, path, code);
        return false;
    }
    return true;
}

// Renames `partial` to `target`. A free name is taken with RENAME_NOREPLACE
// (so nothing that appears there meanwhile is replaced); a regular file
// there is replaced; a link or anything else there is refused. rename(2)
// never follows a link at either name.
bool renameOver(const QString &partial, const QString &target, QString &error)
{
    const QByteArray from = QFile::encodeName(partial);
    const QByteArray to = QFile::encodeName(target);
    struct stat st {};
    int rc;
    if (::lstat(to.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            const QString what = S_ISLNK(st.st_mode) ? QStringLiteral("a link") : QStringLiteral("not a regular file");
            error = QStringLiteral("cannot rename %1 to %2: %3 is in its place and is not replaced")
                        .arg(partial, target, what);
            return false;
        }
        rc = std::rename(from.constData(), to.constData());
    } else if (errno == ENOENT) {
        rc = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        // File systems without the flag: the name was free a moment ago.
        if (rc != 0 && errno == EINVAL)
            rc = std::rename(from.constData(), to.constData());
    } else {
        rc = -1;
    }
    if (rc != 0) {
        error = QStringLiteral("cannot rename %1 to %2: %3")
                    .arg(partial, target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

} // namespace

bool syncFile(const QString &path, QString &error)
{
    return syncPath(path, O_RDONLY | O_NOFOLLOW, QStringLiteral("flush"), error);
}

bool syncDirectory(const QString &path, QString &error)
{
    return syncPath(path, O_RDONLY | O_DIRECTORY, QStringLiteral("flush the directory"), error);
}

bool publish(const QString &partial, const QString &target, QString &error)
{
    const QString directory = QFileInfo(target).absolutePath();
    if (!syncFile(partial, error) || !syncDirectory(directory, error))
        return false;
    if (!renameOver(partial, target, error))
        return false;
    return syncDirectory(directory, error);
}

bool syncDirectories(const QString &directory, const QString &top, QString &error)
{
    const QString stop = QDir::cleanPath(QDir(top).absolutePath());
    QString current = QDir::cleanPath(QDir(directory).absolutePath());
    if (!syncDirectory(current, error))
        return false;
    if (!current.startsWith(stop + QLatin1Char('/')) && !(stop == QLatin1String("/") && current != stop))
        return true;
    while (current != stop) {
        current = QFileInfo(current).absolutePath();
        if (!syncDirectory(current, error))
            return false;
    }
    return true;
}

} // namespace DurableFile
