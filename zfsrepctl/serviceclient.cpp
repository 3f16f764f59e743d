#include "serviceclient.h"

#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QElapsedTimer>
#include <QLocalSocket>

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kConnectWaitMs = 2000;

QString userText(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    if (entry && entry->pw_name)
        return QStringLiteral("uid %1 (%2)").arg(uid).arg(QString::fromLocal8Bit(entry->pw_name));
    return QStringLiteral("uid %1").arg(uid);
}

QString connectError(const QLocalSocket &socket)
{
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("no such socket (is the service running?)");
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused (nothing listens on the socket)");
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("permission denied (is your user in the socket's group, e.g. zfsrep?)");
    case QLocalSocket::SocketTimeoutError:
        return QStringLiteral("no connection within %1 ms").arg(kConnectWaitMs);
    default:
        return socket.errorString();
    }
}

} // namespace

QString peerRefusal(uid_t peer, uid_t self)
{
    if (peer == 0 || peer == self)
        return QString();
    return QStringLiteral("it is served by %1, neither root nor you (%2); nothing was sent")
        .arg(userText(peer), userText(self));
}

bool serviceRequest(const QString &socketName, const QJsonObject &request, QJsonObject *response, int timeout,
                    QString *error)
{
    QElapsedTimer timer;
    timer.start();
    const QString where = TQ2LocalServer::socketPath(socketName);
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };

    QLocalSocket socket;
    socket.connectToServer(socketName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kConnectWaitMs))
        return fail(QStringLiteral("cannot connect to %1: %2").arg(where, connectError(socket)));

    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return fail(QStringLiteral("refusing to use %1: its peer's credentials cannot be read").arg(where));
    const QString refusal = peerRefusal(peer.uid, ::getuid());
    if (!refusal.isEmpty()) {
        socket.abort();
        return fail(QStringLiteral("refusing to use %1: %2").arg(where, refusal));
    }

    const qint64 limitMs = qint64(timeout) * 1000;
    auto remaining = [&] { return int(qBound<qint64>(0, limitMs - timer.elapsed(), limitMs)); };

    socket.write(TQ2RpcPacket(request).toDatagram());
    socket.flush();
    while (socket.bytesToWrite() > 0) {
        if (remaining() <= 0 || !socket.waitForBytesWritten(remaining()))
            return fail(QStringLiteral("cannot send the request to %1: %2").arg(where, socket.errorString()));
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
                if (response)
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
