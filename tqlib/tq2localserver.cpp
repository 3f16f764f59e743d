#include "tq2localserver.h"

#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2localsocket.h"
#include "tq2rpcpacket.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kMissingMethod[] = "被调用的方法不存在: ";
constexpr int kPendingConnections = 1024;
constexpr int kConnectWaitMs = 2000;
constexpr int kWriteWaitMs = 30000;

// Whether a server still accepts connections on the socket file `path`.
// A refused connection means the file was left behind by a dead server.
bool isAnswering(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const bool answering = rc == 0 || errno == EAGAIN; // EAGAIN: alive with a full backlog
    ::close(fd);
    return answering;
}

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

} // namespace

TQ2LocalServer::TQ2LocalServer(QObject *parent) : QLocalServer(parent)
{
    TQ2RpcPacket::registerMetaType();
    setMaxPendingConnections(kPendingConnections);
    setSocketOptions(QLocalServer::WorldAccessOption);
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
    if (isListening())
        return true;
    const QString path = socketPath(serverName);
    if (serverName.contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(path).absolutePath());
    // Listening with world access binds a temporary file and renames it over
    // `path`, which would silently take the name from a running server.
    const QFileInfo existing(path);
    if (existing.exists() || existing.isSymLink()) {
        if (isAnswering(path))
            return false;
        QLocalServer::removeServer(serverName);
    }
    if (!listen(serverName) && serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(serverName);
        listen(serverName);
    }
    if (!isListening())
        return false;
    // QLocalServer listens with a backlog of 50; raise it to the number of
    // pending connections (listen() on a listening socket only resizes it).
    ::listen(int(socketDescriptor()), kPendingConnections);
    name = serverName;
    return true;
}

void TQ2LocalServer::stop()
{
    if (isListening())
        close();
}

bool TQ2LocalServer::isRunning() const { return isListening(); }

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

void TQ2LocalServer::incomingConnection(quintptr socketDescriptor)
{
    TQ2LocalSocket::open(this, int(socketDescriptor), &debugging);
}

std::uint64_t TQ2LocalServer::connectionStarted(const std::shared_ptr<TQ2LocalSocket> &connection)
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    const std::uint64_t key = nextKey++;
    live.emplace(key, connection);
    return key;
}

void TQ2LocalServer::connectionEnded(std::uint64_t key)
{
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
