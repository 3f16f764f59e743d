#include "rpctestkit.h"

#include "tq2rpcpacket.h"

#include <QEventLoop>
#include <QFile>

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool isHelp(const QJsonObject &cmdObject) { return cmdObject.contains(QStringLiteral("help")); }

} // namespace

void TestRouter::echo(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject)) {
        *retObject = QJsonObject{{"comment", "echoes its parameters"}, {"params", QJsonObject{{"any", "anything"}}}};
        return;
    }
    retObject->insert("results", cmdObject.value("params"));
    envObject->setErr(0, QString());
}

void TestRouter::fail(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject)) {
        *retObject = QJsonObject{{"comment", "always fails"}, {"token", true}};
        return;
    }
    envObject->setErr(9995, QString::fromUtf8("缺少参数: x"));
}

void TestRouter::count(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject)) {
        *retObject = QJsonObject{{"unpublished", "yes"}, {"comment", "hidden"}};
        return;
    }
    ++counted;
    envObject->setErr(0, QString());
}

void TestRouter::slow(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject))
        return;
    const int ms = qBound(0, cmdObject.value("params").toObject().value("ms").toInt(), 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    retObject->insert("results", ms);
    envObject->setErr(0, QString());
}

void TestRouter::plain(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject))
        return;
    retObject->insert("results", "plain");
    envObject->setErr(0, QString());
}

void TestRouter::__LS__plain(QJsonObject *retObject, QJsonObject, TQ2Cabinet *envObject)
{
    retObject->insert("results", "ls");
    envObject->setErr(0, QString());
}

void TestRouter::protocol(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (isHelp(cmdObject))
        return;
    retObject->insert("results", envObject->value("protocol"));
    envObject->setErr(0, QString());
}

void TestRouter::quiet(QJsonObject *, QJsonObject, TQ2Cabinet *) {}

ServerThread::ServerThread(TQ2TodoRouter *router, bool debugging) : router(router), debugging(debugging) {}

ServerThread::~ServerThread() { stop(); }

bool ServerThread::start(const QString &name)
{
    thread = std::thread(&ServerThread::run, this, name);
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return ready; });
    return started;
}

void ServerThread::configure(const TQ2ServerLimits &value, const TQ2PeerAccess &peers)
{
    limits = value;
    access = peers;
}

void ServerThread::run(QString name)
{
    QEventLoop eventLoop;
    auto *server = new TQ2LocalServer;
    server->setDebugging(debugging);
    server->setLimits(limits);
    server->setAccess(access);
    server->add(router);
    const bool ok = server->start(name);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ready = true;
        started = ok;
        loop = &eventLoop;
        srv = server;
    }
    changed.notify_all();
    if (ok)
        eventLoop.exec();
    delete server;
}

void ServerThread::stop()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (started)
            QMetaObject::invokeMethod(loop, "quit", Qt::QueuedConnection);
    }
    thread.join();
    srv = nullptr;
}

RawClient::RawClient(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof addr.sun_path)
        return;
    std::memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
}

RawClient::~RawClient()
{
    if (fd >= 0)
        ::close(fd);
}

bool RawClient::write(const QByteArray &bytes)
{
    int done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += int(n);
    }
    return fd >= 0;
}

void RawClient::shutdownWrite()
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
}

namespace {

// Waits up to `ms` for readable data; appends it. -1 error/timeout, 0 EOF, 1 data.
int readSome(int fd, QByteArray &buffer, int ms)
{
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, ms) <= 0)
        return -1;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0)
        return -1;
    buffer.append(chunk, int(n));
    return n > 0 ? 1 : 0;
}

int msLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return int(qMax<qint64>(0, left.count()));
}

} // namespace

bool RawClient::read(QJsonObject &packet, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        TQ2RpcPacket parsed;
        const int result = parsed.fromDatagram(buffer);
        if (result == TQ2RpcPacket::Complete && !parsed.isKeepAlive()) {
            packet = parsed.object;
            return true;
        }
        if (result == TQ2RpcPacket::Invalid)
            return false;
        if (result == TQ2RpcPacket::Incomplete && (fd < 0 || readSome(fd, buffer, msLeft(deadline)) <= 0))
            return false;
    }
}

QJsonObject RawClient::call(const QJsonObject &request)
{
    QJsonObject answer;
    if (!write(TQ2RpcPacket(request).toDatagram()) || !read(answer))
        return QJsonObject();
    return answer;
}

bool RawClient::waitClosed(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int r = readSome(fd, buffer, msLeft(deadline));
        if (r == 0)
            return true;
        if (r < 0)
            return false;
        buffer.clear();
    }
}

bool RawClient::staysQuiet(int ms)
{
    pollfd pfd{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&pfd, 1, ms) == 0;
}

SocketDir::SocketDir() : dir(QStringLiteral("/tmp/rpc-XXXXXX")) {}

QString SocketDir::path(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }
