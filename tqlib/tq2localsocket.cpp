#include "tq2localsocket.h"

#include "tq2error.h"
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

std::atomic<int> liveObjects{0};

constexpr int kReadChunk = 64 * 1024;
// Bytes read per pass before parsing, so the size check sees a datagram
// header long before the buffer could grow far past the limit.
constexpr int kReadPerPass = 1024 * 1024;
constexpr int kWriteTimeoutMs = 30000;

} // namespace

TQ2LocalSocket::TQ2LocalSocket(TQ2LocalServer *server, int descriptor, const std::atomic<bool> *debugging)
    : server(server), descriptor(descriptor), debugging(debugging)
{
    ++liveObjects;
    cabinet.insert(QStringLiteral("protocol"), 128);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0)
        ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
}

TQ2LocalSocket::~TQ2LocalSocket()
{
    if (descriptor >= 0)
        ::close(descriptor);
    if (wakeFd >= 0)
        ::close(wakeFd);
    --liveObjects;
}

int TQ2LocalSocket::liveCount() { return liveObjects.load(); }

std::shared_ptr<TQ2LocalSocket> TQ2LocalSocket::open(TQ2LocalServer *server, int descriptor,
                                                      const std::atomic<bool> *debugging)
{
    std::shared_ptr<TQ2LocalSocket> connection(new TQ2LocalSocket(server, descriptor, debugging));
    const std::uint64_t key = server->connectionStarted(connection);
    std::thread thread;
    try {
        thread = std::thread([connection, server, key]() mutable {
            connection->run();
            connection.reset(); // released here unless a stop() caller still holds it
            server->connectionEnded(key);
        });
    } catch (const std::system_error &) { // out of threads: drop this connection only
        connection->running.store(false);
        server->connectionEnded(key);
        return connection;
    }
    {
        std::lock_guard<std::mutex> lock(connection->endMutex);
        connection->threadId = thread.get_id();
    }
    thread.detach();
    return connection;
}

void TQ2LocalSocket::requestStop()
{
    stopping.store(true);
    if (wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
}

void TQ2LocalSocket::stop()
{
    requestStop();
    std::unique_lock<std::mutex> lock(endMutex);
    if (threadId == std::this_thread::get_id())
        return;
    ended.wait(lock, [this] { return !running.load(); });
}

void TQ2LocalSocket::run()
{
    bool open = wakeFd >= 0 && descriptor >= 0;
    while (open && !stopping.load()) {
        pollfd fds[2] = {{descriptor, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!fds[0].revents)
            continue;
        const bool connected = receive();
        // Requests that arrived before the peer closed are still answered.
        open = parsePass() && connected;
    }
    ::shutdown(descriptor, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(endMutex);
    running.store(false);
    ended.notify_all();
}

bool TQ2LocalSocket::receive()
{
    char chunk[kReadChunk];
    int total = 0;
    while (total < kReadPerPass) {
        const ssize_t n = ::recv(descriptor, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer.append(chunk, int(n));
            total += int(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

bool TQ2LocalSocket::parsePass()
{
    while (!stopping.load()) {
        if (TQ2RpcPacket::announcedLength(buffer) > TQ2RpcPacket::MaxDatagram)
            return false;
        TQ2RpcPacket packet;
        switch (packet.fromDatagram(buffer)) {
        case TQ2RpcPacket::Complete:
            if (!packet.isKeepAlive())
                handle(packet);
            break;
        case TQ2RpcPacket::KeepAlive:
            break; // never answered; what follows is parsed at once
        case TQ2RpcPacket::Incomplete:
            return true;
        default:
            return false; // not a datagram: nothing later on this stream can be trusted
        }
    }
    return true;
}

void TQ2LocalSocket::handle(const TQ2RpcPacket &request)
{
    QJsonObject response{{QStringLiteral("err"), TQ2Error::ERR_FAILED}};
    // The cabinet lives as long as the connection; each request starts with
    // a clean code, message and journal so its answer reflects only itself.
    cabinet.reset(TQ2Error::ERR_FAILED, QString(), QJsonArray());
    cabinet.begin();
    server->doCall(&response, request.object, &cabinet);
    cabinet.toRetObject(response, debugging && debugging->load());
    if (!send(TQ2RpcPacket(response).toDatagram()))
        requestStop();
}

bool TQ2LocalSocket::send(const QByteArray &bytes)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(descriptor, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{descriptor, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, int(left.count())) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            return false;
    }
    return true;
}
