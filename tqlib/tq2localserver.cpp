#include "tq2localserver.h"

#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2localsocket.h"
#include "tq2rpcpacket.h"
#include "tq2socketfile.h"
#include "tq2socketplace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

const char kMissingMethod[] = "被调用的方法不存在: ";
constexpr int kPendingConnections = 1024;
constexpr int kConnectWaitMs = 2000;
constexpr int kWriteWaitMs = 30000;
// Accepts per notifier event, so that a flood does not starve the loop.
constexpr int kAcceptBatch = 64;
// How long accepting rests after the process ran out of descriptors or memory.
constexpr int kAcceptPauseMs = 200;
// Blocks from this size on get a mapping of their own (see below).
constexpr int kLargeBlock = 256 * 1024;

QString connectError(const QLocalSocket &socket)
{
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("no such socket (is the service running?)");
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused (nothing listens on the socket)");
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("permission denied");
    case QLocalSocket::SocketTimeoutError:
        return QStringLiteral("no connection within %1 ms").arg(kConnectWaitMs);
    default:
        return socket.errorString();
    }
}

// glibc serves a block above its mmap threshold with a mapping of its own,
// returned to the system when freed, but raises that threshold to the size
// of each such block freed: after one large request every later one comes
// from a thread's arena, whose free memory at the top stays resident (one
// arena per connection thread, up to eight per core). A fixed threshold
// keeps large requests' memory going back at once; small blocks are as
// before.
void keepLargeBlocksMapped()
{
#ifdef __GLIBC__
    static const bool fixed = ::mallopt(M_MMAP_THRESHOLD, kLargeBlock) != 0;
    (void)fixed;
#endif
}

} // namespace

TQ2LocalServer::TQ2LocalServer(QObject *parent) : QObject(parent)
{
    TQ2RpcPacket::registerMetaType();
    resume.setSingleShot(true);
    resume.setInterval(kAcceptPauseMs);
    connect(&resume, &QTimer::timeout, this, [this] {
        if (notifier)
            notifier->setEnabled(true);
        acceptPending();
    });
}

TQ2LocalServer::~TQ2LocalServer()
{
    stop();
    closeConnections();
}

QString TQ2LocalServer::socketPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

bool TQ2LocalServer::start(const QString &serverName)
{
    if (isRunning())
        return true;
    const QString path = socketPath(serverName);
    startError.clear();
    const bool restricted = access.isRestricted();
    if (restricted && !access.isValid()) {
        startError = QStringLiteral("the access group does not exist");
        return false;
    }
    // Nothing is created where another user could interfere, and the
    // directories made here are checked as well.
    startError = TQ2SocketPlace::check(path);
    if (!startError.isEmpty())
        return false;
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory)) {
        startError = QStringLiteral("cannot create the directory %1").arg(directory);
        return false;
    }
    startError = TQ2SocketPlace::check(path);
    if (!startError.isEmpty())
        return false;
    const QFileInfo existing(path);
    if ((existing.exists() || existing.isSymLink()) && TQ2SocketFile::isAnswering(path)) {
        startError = QStringLiteral("another service answers on it"); // never take a running server's name
        return false;
    }
    const mode_t mode = restricted ? 0660 : 0777;
    const gid_t group = restricted ? access.groupId() : gid_t(-1);
    QString error;
    listenFd = TQ2SocketFile::listenAt(path, mode, group, kPendingConnections, &error);
    if (listenFd < 0) {
        startError = error;
        return false;
    }
    socketInode = TQ2SocketFile::inodeOf(path);
    keepLargeBlocksMapped();
    quota.setBounds({bounds.maxConnections, bounds.maxPeerConnections, bounds.maxPendingBytes,
                     bounds.maxPeerPendingBytes});
    notifier = new QSocketNotifier(listenFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    name = serverName;
    return true;
}

void TQ2LocalServer::stop()
{
    if (!isRunning())
        return;
    resume.stop();
    closeListener();
    TQ2SocketFile::removeIfSame(socketPath(name), ino_t(socketInode));
    socketInode = 0;
}

void TQ2LocalServer::closeListener()
{
    delete notifier;
    notifier = nullptr;
    ::close(listenFd);
    listenFd = -1;
}

bool TQ2LocalServer::isRunning() const { return listenFd >= 0; }

void TQ2LocalServer::acceptPending()
{
    for (int i = 0; i < kAcceptBatch && listenFd >= 0; ++i) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        const int code = errno;
        if (code == EINTR || code == ECONNABORTED || code == EPROTO)
            continue;
        if (code == EAGAIN || code == EWOULDBLOCK)
            return;
        // Out of descriptors or memory (or anything unexpected): the waiting
        // client stays in the backlog; rest, then try again. The listening
        // socket and its file are kept whatever happens.
        if (notifier)
            notifier->setEnabled(false);
        if (!resume.isActive()) {
            ++pauses;
            if (pauses.load() == 1 || (pauses.load() % 100) == 0)
                std::fprintf(stderr, "%s: accept failed (%s), paused %d ms (pause %llu)\n",
                             qPrintable(name), std::strerror(code), kAcceptPauseMs,
                             static_cast<unsigned long long>(pauses.load()));
            resume.start();
        }
        return;
    }
}

void TQ2LocalServer::admit(int fd)
{
    // Two getsockopt calls: the kernel's record of the peer, nothing that
    // could block (no account-database lookup).
    TQ2PeerAccess::Credentials peer;
    if (!TQ2PeerAccess::credentialsOf(fd, peer, access.needsGroups()) || !access.admits(peer)) {
        ++refusedPeer;
        ::close(fd);
        return;
    }
    if (!quota.takeConnection(peer.uid)) {
        ++refusedCap;
        ::close(fd);
        return;
    }
    TQ2LocalSocket::open(this, fd, peer.uid, &debugging);
}

void TQ2LocalServer::add(TQ2TodoRouter *router) { root.add(router); }

bool TQ2LocalServer::doCall(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    if (root.doCall(retObject, cmdObject, envObject))
        return true;
    if (root.doSlot(retObject, cmdObject, envObject))
        return true;
    if (envObject) {
        const QString cmd = cmdObject.value(QStringLiteral("cmd")).toVariant().toString();
        envObject->setErr(TQ2Error::ERR_MISSING, QString::fromUtf8(kMissingMethod) + cmd);
    }
    return false;
}

std::uint64_t TQ2LocalServer::connectionStarted(const std::shared_ptr<TQ2LocalSocket> &connection)
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    const std::uint64_t key = nextKey++;
    live.emplace(key, connection);
    return key;
}

void TQ2LocalServer::connectionEnded(std::uint64_t key, uid_t uid)
{
    quota.releaseConnection(uid);
    std::lock_guard<std::mutex> lock(connectionsMutex);
    live.erase(key);
    if (live.empty())
        connectionsDone.notify_all();
}

int TQ2LocalServer::connectionCount() const
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    return int(live.size());
}

std::vector<std::shared_ptr<TQ2LocalSocket>> TQ2LocalServer::connections() const
{
    std::vector<std::shared_ptr<TQ2LocalSocket>> out;
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (const auto &entry : live) {
        if (auto connection = entry.second.lock())
            out.push_back(std::move(connection));
    }
    return out;
}

void TQ2LocalServer::closeConnections()
{
    for (const auto &connection : connections())
        connection->requestStop();
    std::unique_lock<std::mutex> lock(connectionsMutex);
    connectionsDone.wait(lock, [this] { return live.empty(); });
}

bool TQ2LocalServer::localRequest(const QString &name, const QJsonObject &request, QJsonObject *response,
                                  int timeout, QString *error)
{
    QElapsedTimer timer;
    timer.start();
    const QByteArray datagram = TQ2RpcPacket(request).toDatagram();
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QString where = socketPath(name);

    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kConnectWaitMs))
        return fail(QStringLiteral("cannot connect to %1: %2").arg(where, connectError(socket)));

    const bool wantAnswer = response && timeout > 0;
    const qint64 limitMs = wantAnswer ? qint64(timeout) * 1000 : kWriteWaitMs;
    auto remaining = [&] { return int(qBound<qint64>(0, limitMs - timer.elapsed(), kWriteWaitMs)); };

    socket.write(datagram);
    socket.flush();
    while (socket.bytesToWrite() > 0) {
        if (remaining() <= 0 || !socket.waitForBytesWritten(remaining()))
            return fail(QStringLiteral("cannot send the request to %1: %2").arg(where, socket.errorString()));
    }
    if (!wantAnswer) {
        socket.disconnectFromServer();
        return true;
    }

    QByteArray buffer;
    for (;;) {
        buffer.append(socket.readAll());
        for (;;) {
            if (TQ2RpcPacket::announcedLength(buffer) > TQ2RpcPacket::MaxDatagram)
                return fail(QStringLiteral("oversized answer from %1").arg(where));
            TQ2RpcPacket packet;
            const int result = packet.fromDatagram(buffer);
            if (result == TQ2RpcPacket::Complete && !packet.isKeepAlive()) {
                socket.disconnectFromServer();
                *response = packet.object;
                return true;
            }
            if (result == TQ2RpcPacket::Incomplete)
                break;
            if (result == TQ2RpcPacket::Invalid)
                return fail(QStringLiteral("malformed answer from %1").arg(where));
        }
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return fail(QStringLiteral("%1 closed the connection without answering").arg(where));
        if (remaining() <= 0)
            return fail(QStringLiteral("no answer from %1 within %2 s").arg(where).arg(timeout));
        socket.waitForReadyRead(remaining());
    }
}
