// One accepted connection of the local RPC server, served on a detached
// thread of its own: read datagrams, dispatch each request through the
// server, write one response datagram per request, strictly in order.
// Keep-alives are never answered. Bytes that are not a datagram close this
// connection only; a datagram whose text is not a JSON object (invalid UTF-8
// included) is answered with ERR_PARSE and the connection goes on. A datagram
// announcing more than the server's maxrequestbytes is answered with
// ERR_LIMITMAX, and buffered bytes beyond what the server grants the peer's
// user (TQ2PeerQuota) with ERR_BUSY; both then close the connection. A
// datagram must arrive whole within the server's partial time-out of its
// first byte (a trickle does not keep it alive), and a connection that sends
// nothing for the idle time-out is closed, without an answer either way.
//
// Pipelined datagrams are read by offset and the consumed bytes dropped
// once per pass, so a pass costs time linear in what it read; a buffer that
// grew for a large request goes back to a small one once it is consumed.
//
// The thread blocks in poll() on the socket and on an eventfd that stop()
// signals, so an idle connection costs no CPU and stop() is prompt. The
// thread owns the object through a shared_ptr; it is released when the
// thread ends (or when the last other holder lets go).
#pragma once

#include "tq2cabinet.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>

class TQ2LocalServer;
class TQ2RpcPacket;

class TQ2LocalSocket : public QObject
{
public:
    // Takes ownership of `descriptor` (an accepted, connected socket whose
    // peer runs as user `peer`, for whom the caller took a place in the
    // server's quota), registers with `server` and starts the detached
    // connection thread; the place is given back when the thread ends.
    // `debugging` (may be null: not verbose) is read for every response.
    // Returns a handle; callers need not keep it.
    static std::shared_ptr<TQ2LocalSocket> open(TQ2LocalServer *server, int descriptor, uid_t peer,
                                                const std::atomic<bool> *debugging);
    ~TQ2LocalSocket() override;

    // Asks the thread to end and waits until it has. A request being handled
    // is finished first; a blocked read or write ends at once. Called from
    // the connection's own thread it only asks.
    void stop();
    bool isRunning() const { return running.load(); }

    // Connection objects constructed and not yet destroyed, process-wide.
    static int liveCount();

private:
    friend class TQ2LocalServer;
    TQ2LocalSocket(TQ2LocalServer *server, int descriptor, uid_t peer, const std::atomic<bool> *debugging);
    Q_DISABLE_COPY(TQ2LocalSocket)

    enum class Receive { Open, Closed, OverMemory };

    void run();
    // Reads what is available (bounded per call). Closed when the peer closed
    // or the socket failed (bytes read before that are kept); OverMemory when
    // the server refused to count more buffered bytes.
    Receive receive();
    // Parses and answers every complete request in `buffer`, then drops the
    // `consumed` bytes they took from its front. False when the connection
    // must close (bad bytes, oversized datagram, failed write).
    bool parsePass(int &consumed);
    // Drops `bytes` from the front of `buffer` (one move of the rest) and
    // gives a buffer far larger than what it holds back to the allocator.
    void dropFront(int bytes);
    void handle(const TQ2RpcPacket &request);
    // Answers {"err": code, "errmsg": message} outside the cabinet's journal.
    void answerError(int code, const QString &message);
    // Brings the server's count of pending bytes of this peer's user to
    // buffer.size(); false (count unchanged) when growing it would pass
    // what the quota grants.
    bool account();
    // Writes all of `bytes`, waiting up to 30 s for the peer to drain.
    bool send(const QByteArray &bytes);
    // Writes the parts one after the other as one stream, within the same
    // 30 s: a large answer goes out without being joined into one copy.
    bool send(std::initializer_list<const QByteArray *> parts);
    void requestStop();

    TQ2LocalServer *server;
    int descriptor;
    uid_t peer;
    const std::atomic<bool> *debugging;
    QByteArray buffer;
    qint64 held = 0; // bytes of `buffer` counted in the server's pending total
    TQ2Cabinet cabinet;
    std::atomic<bool> running{true};
    std::atomic<bool> stopping{false};

    int wakeFd = -1; // eventfd written by stop()
    std::thread::id threadId;
    std::mutex endMutex;
    std::condition_variable ended;
};
