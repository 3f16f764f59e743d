#include "tq2localsocket.h"

#include "tq2error.h"
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace {

std::atomic<int> liveObjects{0};

constexpr int kReadChunk = 64 * 1024;
constexpr int kInitialBuffer = 4096;
// Bytes read per pass before parsing, so the size check sees a datagram
// header long before the buffer could grow far past the limit.
constexpr int kReadPerPass = 1024 * 1024;
constexpr int kWriteTimeoutMs = 30000;
// A buffer keeps up to this much room when it is empty or nearly so; a
// larger one (grown for a large request) is given back.
constexpr int kKeptCapacity = 64 * 1024;

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left + 1, 1 << 30));
}

const char kTooLarge[] = "请求过大: %1 字节, 上限 %2 字节";
const char kNotJson[] = "请求不是有效的 JSON 对象 (UTF-8)";
const char kBusy[] = "服务繁忙: 待处理的请求过多";

} // namespace

TQ2LocalSocket::TQ2LocalSocket(TQ2LocalServer *server, int descriptor, uid_t peer,
                               const std::atomic<bool> *debugging)
    : server(server), descriptor(descriptor), peer(peer), debugging(debugging)
{
    ++liveObjects;
    cabinet.insert(QStringLiteral("protocol"), 128);
    // Who is asking, for the methods that record it (the kernel's uid of the
    // peer when it connected).
    cabinet.insert(QStringLiteral("peeruid"), double(peer));
    // A reserved buffer keeps its memory when a parse pass empties it, so
    // a request does not cost an allocation and a free.
    buffer.reserve(kInitialBuffer);
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

std::shared_ptr<TQ2LocalSocket> TQ2LocalSocket::open(TQ2LocalServer *server, int descriptor, uid_t peer,
                                                      const std::atomic<bool> *debugging)
{
    std::shared_ptr<TQ2LocalSocket> connection(new TQ2LocalSocket(server, descriptor, peer, debugging));
    const std::uint64_t key = server->connectionStarted(connection);
    std::thread thread;
    try {
        thread = std::thread([connection, server, key, peer]() mutable {
            connection->run();
            connection.reset(); // released here unless a stop() caller still holds it
            server->connectionEnded(key, peer);
        });
    } catch (const std::system_error &) { // out of threads: drop this connection only
        connection->running.store(false);
        server->connectionEnded(key, peer);
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
    const std::chrono::milliseconds partialLimit(server->limits().partialTimeoutMs);
    const std::chrono::milliseconds idleLimit(server->limits().idleTimeoutMs);
    // The last pass that brought bytes (at first: the accept), and when the
    // first byte of the unfinished datagram at the head of `buffer` came.
    auto lastHeard = Clock::now();
    auto partialSince = lastHeard;
    bool open = wakeFd >= 0 && descriptor >= 0;
    while (open && !stopping.load()) {
        // Sleep until the peer writes, stop(), or the nearer deadline: the
        // idle one always, the whole-datagram one while a datagram is
        // unfinished.
        auto deadline = lastHeard + idleLimit;
        if (!buffer.isEmpty())
            deadline = std::min(deadline, partialSince + partialLimit);
        const int waitMs = millisecondsUntil(deadline);
        if (waitMs <= 0)
            break;
        pollfd fds[2] = {{descriptor, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, waitMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!fds[0].revents)
            continue;
        const auto arrived = Clock::now();
        const int before = buffer.size();
        const Receive received = receive();
        if (received == Receive::OverMemory) {
            answerError(TQ2Error::ERR_BUSY, QString::fromUtf8(kBusy));
            break;
        }
        const bool heard = buffer.size() != before;
        // Requests that arrived before the peer closed are still answered.
        int consumed = 0;
        open = parsePass(consumed) && received == Receive::Open;
        // A new unfinished datagram starts its clock; more bytes of the same
        // one do not restart it.
        if (!buffer.isEmpty() && (before == 0 || consumed > 0))
            partialSince = arrived;
        if (heard)
            lastHeard = Clock::now(); // after the answers: the peer's turn starts now
        account();
    }
    buffer = QByteArray();
    account();
    ::shutdown(descriptor, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(endMutex);
    running.store(false);
    ended.notify_all();
}

bool TQ2LocalSocket::account()
{
    const qint64 delta = qint64(buffer.size()) - held;
    if (delta > 0 && !server->quota.reserveBytes(peer, delta))
        return false;
    if (delta < 0)
        server->quota.releaseBytes(peer, -delta);
    held = buffer.size();
    return true;
}

TQ2LocalSocket::Receive TQ2LocalSocket::receive()
{
    char chunk[kReadChunk];
    int total = 0;
    while (total < kReadPerPass) {
        const ssize_t n = ::recv(descriptor, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer.append(chunk, int(n));
            total += int(n);
            if (!account())
                return Receive::OverMemory;
            // A short read drained the socket: asking again would only
            // return EAGAIN, one system call per request for nothing (poll
            // reports what arrives later). Stop as well once the head
            // datagram is known to be too large.
            if (n < ssize_t(sizeof chunk)
                || TQ2RpcPacket::announcedLength(buffer) > server->limits().maxRequestBytes)
                return Receive::Open;
            continue;
        }
        if (n == 0)
            return Receive::Closed;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Receive::Open : Receive::Closed;
    }
    return Receive::Open;
}

bool TQ2LocalSocket::parsePass(int &consumed)
{
    const qint64 maxRequest = server->limits().maxRequestBytes;
    int offset = 0; // the datagrams before it are done with
    bool keep = true;
    while (keep && !stopping.load()) {
        const qint64 announced = TQ2RpcPacket::announcedLength(buffer, offset);
        if (announced > maxRequest) {
            answerError(TQ2Error::ERR_LIMITMAX,
                        QString::fromUtf8(kTooLarge).arg(announced).arg(maxRequest));
            keep = false;
            break;
        }
        TQ2RpcPacket packet;
        int used = 0;
        const int result = packet.fromDatagramAt(buffer, offset, used);
        offset += used;
        if (result == TQ2RpcPacket::Complete) {
            if (!packet.isKeepAlive())
                handle(packet);
        } else if (result == TQ2RpcPacket::KeepAlive) {
            // never answered; what follows is parsed at once
        } else if (result == TQ2RpcPacket::Incomplete) {
            break;
        } else if (announced < 0 || buffer.size() - offset < announced) {
            keep = false; // not a datagram: nothing later on this stream can be trusted
        } else {
            // A whole datagram whose text is not JSON (or not UTF-8): the
            // framing still holds, so answer it and go on with the next.
            offset += int(announced);
            answerError(TQ2Error::ERR_PARSE, QString::fromUtf8(kNotJson));
        }
    }
    consumed = offset;
    dropFront(offset);
    return keep;
}

void TQ2LocalSocket::dropFront(int bytes)
{
    if (bytes > 0)
        buffer.remove(0, bytes);
    const int capacity = buffer.capacity();
    if (capacity <= kKeptCapacity || buffer.size() > capacity / 4)
        return;
    QByteArray smaller;
    smaller.reserve(std::max(kInitialBuffer, buffer.size()));
    smaller.append(buffer);
    buffer.swap(smaller);
}

void TQ2LocalSocket::answerError(int code, const QString &message)
{
    const QJsonObject response{{QStringLiteral("err"), code}, {QStringLiteral("errmsg"), message}};
    if (!send(TQ2RpcPacket(response).toDatagram()))
        requestStop();
}

void TQ2LocalSocket::handle(const TQ2RpcPacket &request)
{
    QJsonObject response{{QStringLiteral("err"), TQ2Error::ERR_FAILED}};
    // The cabinet lives as long as the connection; each request starts with
    // a clean code, message and journal so its answer reflects only itself.
    cabinet.reset(TQ2Error::ERR_FAILED, QString(), QJsonArray());
    cabinet.begin();
    cabinet.takeResultsJson(); // nothing left from an earlier request
    server->doCall(&response, request.object, &cabinet);
    cabinet.toRetObject(response, debugging && debugging->load());
    // Results the method handed over already serialized are written as
    // they are (a cached listing is not serialized again per request).
    const QByteArray results = cabinet.takeResultsJson();
    bool sent = false;
    if (!results.isEmpty() && response.contains(QLatin1String("results"))) {
        response.remove(QLatin1String("results"));
        static const QByteArray tail("}");
        const QByteArray head = TQ2RpcPacket::datagramHead(response, results.size());
        sent = send({&head, &results, &tail});
    } else {
        sent = send(TQ2RpcPacket(response).toDatagram());
    }
    if (!sent)
        requestStop();
}

bool TQ2LocalSocket::send(const QByteArray &bytes)
{
    return send({&bytes});
}

bool TQ2LocalSocket::send(std::initializer_list<const QByteArray *> parts)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    const QByteArray *const *part = parts.begin();
    qint64 done = 0; // of *part
    while (part != parts.end()) {
        if (done >= (*part)->size()) {
            ++part;
            done = 0;
            continue;
        }
        // What is left of every part, in one call.
        iovec pieces[8];
        int count = 0;
        for (const QByteArray *const *p = part; p != parts.end() && count < 8; ++p, ++count) {
            const qint64 skip = p == part ? done : 0;
            pieces[count].iov_base = const_cast<char *>((*p)->constData() + skip);
            pieces[count].iov_len = size_t((*p)->size() - skip);
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(count);
        ssize_t n = ::sendmsg(descriptor, &message, MSG_NOSIGNAL);
        if (n > 0) {
            // Whole parts sent are passed; `done` is within the next.
            while (part != parts.end() && n >= (*part)->size() - done) {
                n -= (*part)->size() - done;
                ++part;
                done = 0;
            }
            done += n;
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
