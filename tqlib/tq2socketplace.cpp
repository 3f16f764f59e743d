#include "tq2socketplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString octal(mode_t mode) { return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0')); }

} // namespace

namespace TQ2SocketPlace {

QString directoryProblem(const QString &name, uid_t owner, gid_t group, mode_t mode, uid_t self)
{
    if (owner != 0 && owner != self)
        return QStringLiteral("the directory %1 belongs to user %2, who could replace the socket").arg(name).arg(owner);
    const bool othersWrite = (mode & S_IWOTH) || ((mode & S_IWGRP) && group != 0);
    if (!othersWrite)
        return QString();
    if ((mode & S_ISVTX) && owner == 0)
        return QString(); // shared like /tmp: nobody touches another user's files there
    return QStringLiteral("the directory %1 can be written by other users (mode %2, group %3); "
                          "use one only root can write, or a root-owned one with the sticky bit")
        .arg(name, octal(mode))
        .arg(group);
}

QString existingProblem(const QString &name, uid_t owner, uid_t self)
{
    if (owner == 0 || owner == self)
        return QString();
    return QStringLiteral("%1 already exists and belongs to user %2; another user's file is neither "
                          "removed nor used")
        .arg(name)
        .arg(owner);
}

QString check(const QString &socketPath)
{
    const uid_t self = ::geteuid();
    // The deepest directory that exists: missing ones are created later,
    // inside it, so it decides who could interfere.
    QString directory = QFileInfo(socketPath).absolutePath();
    while (!QFileInfo(directory).isDir() && directory != QLatin1String("/"))
        directory = QFileInfo(directory).absolutePath();
    const QString real = QFileInfo(directory).canonicalFilePath();
    if (real.isEmpty())
        return QStringLiteral("the directory %1 cannot be resolved").arg(directory);
    // From the directory up to "/": each one could be replaced by whoever
    // may write the one above it.
    for (QString dir = real;;) {
        struct stat st {};
        if (::stat(QFile::encodeName(dir).constData(), &st) != 0)
            return QStringLiteral("cannot inspect %1: %2").arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
        const QString problem = directoryProblem(dir, st.st_uid, st.st_gid, st.st_mode, self);
        if (!problem.isEmpty())
            return problem;
        if (dir == QLatin1String("/"))
            break;
        dir = QFileInfo(dir).absolutePath();
    }
    struct stat st {};
    if (::lstat(QFile::encodeName(socketPath).constData(), &st) == 0)
        return existingProblem(socketPath, st.st_uid, self);
    return QString();
}

} // namespace TQ2SocketPlace
