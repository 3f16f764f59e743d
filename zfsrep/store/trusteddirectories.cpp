#include "trusteddirectories.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace TrustedDirectories {

namespace {

// Links followed while walking one path; more is a loop or an attack.
constexpr int kMostLinks = 40;

QString systemError(const QString &what, const QString &path, int code)
{
    return QStringLiteral("cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code)));
}

QString untrusted(const QString &path)
{
    return QStringLiteral("the directory %1 is writable by other users; the service does not write files there")
        .arg(path);
}

bool walk(const QString &directory, bool create, int links, QString &error);

// One directory of the walk, `path` holding no link above its last name.
// Follows a link at that name by walking its target whole.
bool step(const QString &path, bool create, int links, QString &error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0) {
        if (errno != ENOENT || !create) {
            error = systemError(QStringLiteral("use the directory"), path, errno);
            return false;
        }
        // Another writer may make it at the same moment: EEXIST is fine,
        // the lstat below judges what is there.
        if (::mkdir(name.constData(), kCreatedMode) != 0 && errno != EEXIST) {
            error = systemError(QStringLiteral("create the directory"), path, errno);
            return false;
        }
        if (::lstat(name.constData(), &st) != 0) {
            error = systemError(QStringLiteral("use the directory"), path, errno);
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        if (links >= kMostLinks) {
            error = systemError(QStringLiteral("use the directory"), path, ELOOP);
            return false;
        }
        char resolved[PATH_MAX];
        if (!::realpath(name.constData(), resolved)) {
            error = systemError(QStringLiteral("use the directory"), path, errno);
            return false;
        }
        return walk(QFile::decodeName(resolved), false, links + 1, error);
    }
    if (!S_ISDIR(st.st_mode)) {
        error = systemError(QStringLiteral("use the directory"), path, ENOTDIR);
        return false;
    }
    if (!isTrusted(st.st_mode, st.st_uid, st.st_gid)) {
        error = untrusted(path);
        return false;
    }
    return true;
}

bool walk(const QString &directory, bool create, int links, QString &error)
{
    const QString clean = QDir::cleanPath(directory);
    if (!clean.startsWith(QLatin1Char('/'))) {
        error = QStringLiteral("the directory %1 is not an absolute path").arg(directory);
        return false;
    }
    QString path = QStringLiteral("/");
    if (!step(path, false, links, error))
        return false;
    const QStringList names = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &name : names) {
        path = path.endsWith(QLatin1Char('/')) ? path + name : path + QLatin1Char('/') + name;
        if (!step(path, create, links, error))
            return false;
    }
    return true;
}

} // namespace

bool isTrusted(mode_t mode, uid_t owner, gid_t group)
{
    const bool othersWrite = (mode & S_IWOTH) || ((mode & S_IWGRP) && group != 0);
    return !othersWrite || (owner == 0 && (mode & S_ISVTX));
}

bool check(const QString &directory, QString &error) { return walk(directory, false, 0, error); }

bool make(const QString &directory, QString &error) { return walk(directory, true, 0, error); }

} // namespace TrustedDirectories
