#include "tq2socketfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool toAddress(const QByteArray &encoded, sockaddr_un &addr)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

QString systemError(const char *what, int code)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(code)));
}

// Binds `fd` at `file` and gives the file `mode` and `group`.
bool bindWithMode(int fd, const QByteArray &file, mode_t mode, gid_t group, QString *error)
{
    sockaddr_un addr;
    if (!toAddress(file, addr)) {
        *error = QStringLiteral("socket path too long: %1").arg(QFile::decodeName(file));
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        *error = systemError("bind", errno);
        return false;
    }
    if (group != gid_t(-1) && ::chown(file.constData(), uid_t(-1), group) != 0) {
        *error = systemError("chown", errno);
        return false;
    }
    if (::chmod(file.constData(), mode) != 0) {
        *error = systemError("chmod", errno);
        return false;
    }
    return true;
}

} // namespace

namespace TQ2SocketFile {

bool isAnswering(const QString &path)
{
    sockaddr_un addr;
    if (!toAddress(QFile::encodeName(path), addr))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const bool answering = rc == 0 || errno == EAGAIN; // EAGAIN: alive with a full backlog
    ::close(fd);
    return answering;
}

ino_t inodeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

void removeIfSame(const QString &path, ino_t inode)
{
    if (inode != 0 && inodeOf(path) == inode)
        ::unlink(QFile::encodeName(path).constData());
}

int listenAt(const QString &path, mode_t mode, gid_t group, int backlog, QString *error)
{
    QString scratch;
    if (!error)
        error = &scratch;
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the directory %1").arg(dir);
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = systemError("socket", errno);
        return -1;
    }
    const QByteArray target = QFile::encodeName(path);
    QByteArray privateDir = QFile::encodeName(dir) + "/.tq2s.XXXXXX";
    bool ok = false;
    if (privateDir.size() + 2 >= int(sizeof(sockaddr_un::sun_path))) {
        // No room for the staging directory in a socket address: bind in
        // place (the mode is set a moment after the file appears).
        ::unlink(target.constData());
        ok = bindWithMode(fd, target, mode, group, error) && ::listen(fd, backlog) == 0;
    } else if (::mkdtemp(privateDir.data())) { // 0700: nobody reaches the socket before the rename
        const QByteArray staged = privateDir + "/s";
        ok = bindWithMode(fd, staged, mode, group, error) && ::listen(fd, backlog) == 0;
        if (ok && ::rename(staged.constData(), target.constData()) != 0) {
            *error = systemError("rename", errno);
            ok = false;
        }
        if (!ok)
            ::unlink(staged.constData());
        ::rmdir(privateDir.constData());
    } else {
        *error = systemError("mkdtemp", errno);
    }
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace TQ2SocketFile
