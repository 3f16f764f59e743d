#include "listenerkit.h"

#include "tq2rpcpacket.h"

#include <QFile>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace listener {

const char kSocket[] = "/tarn/run/zfsrep-e2e.sock";

namespace {

int releaseFd = -1; // in a child: the read end the parent closes to release it

long statusField(pid_t pid, const char *key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(std::strlen(key))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int connectRaw(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

pid_t servicePid()
{
    const int fd = connectRaw();
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool ok = fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? peer.pid : -1;
}

int threadsOf(pid_t pid) { return int(statusField(pid, "Threads:")); }

long residentKiB(pid_t pid) { return statusField(pid, "VmRSS:"); }

bool closedByPeer(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

QJsonObject rawCall(int fd, const QByteArray &bytes)
{
    for (int done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return QJsonObject();
        done += int(n);
    }
    QByteArray buffer;
    char chunk[4096];
    for (int i = 0; i < 100; ++i) {
        TQ2RpcPacket packet;
        if (packet.fromDatagram(buffer) == TQ2RpcPacket::Complete && !packet.isKeepAlive())
            return packet.object;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        buffer.append(chunk, int(n));
    }
    return QJsonObject();
}

QByteArray header(quint32 json)
{
    QByteArray bytes("\0tq\1\1", 5);
    for (quint32 v : {json, 0u})
        for (int i = 0; i < 4; ++i)
            bytes.append(char((v >> (8 * i)) & 0xFF));
    return bytes + QByteArray(3, '\xFF');
}

void closeAll(std::vector<int> &fds)
{
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

ChildAs::ChildAs(uid_t uid, gid_t gid, const std::function<void(const Report &)> &body)
{
    int up[2];
    int down[2];
    if (::pipe2(up, O_CLOEXEC) != 0)
        return;
    if (::pipe2(down, O_CLOEXEC) != 0) {
        ::close(up[0]);
        ::close(up[1]);
        return;
    }
    pid = ::fork();
    if (pid == 0) {
        ::close(up[0]);
        ::close(down[1]);
        releaseFd = down[0];
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(2);
        const int out = up[1];
        body([out](long value) { [[maybe_unused]] ssize_t n = ::write(out, &value, sizeof value); });
        ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    fromChild = up[0];
    toChild = down[1];
    if (pid < 0) {
        ::close(fromChild);
        ::close(toChild);
        fromChild = toChild = -1;
    }
}

ChildAs::~ChildAs()
{
    release();
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (fromChild >= 0)
        ::close(fromChild);
}

bool ChildAs::next(long &value, int ms)
{
    pollfd p{fromChild, POLLIN, 0};
    if (fromChild < 0 || ::poll(&p, 1, ms) <= 0)
        return false;
    return ::read(fromChild, &value, sizeof value) == ssize_t(sizeof value);
}

void ChildAs::release()
{
    if (toChild >= 0)
        ::close(toChild);
    toChild = -1;
}

void waitForRelease(int ms)
{
    pollfd p{releaseFd, POLLIN, 0};
    ::poll(&p, 1, ms);
}

} // namespace listener
