// One accepted connection of the local RPC server, served on a detached
// thread of its own: read datagrams, dispatch each request through the
// server, write one response datagram per request, strictly in order.
// Keep-alives are never answered. Bytes that are not a datagram, or a
// datagram announcing more than TQ2RpcPacket::MaxDatagram, close this
// connection only.
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
#include <memory>
#include <mutex>
#include <thread>

class TQ2LocalServer;
class TQ2RpcPacket;

class TQ2LocalSocket : public QObject
{
public:
    // Takes ownership of `descriptor` (an accepted, connected socket),
    // registers with `server` and starts the detached connection thread.
    // `debugging` (may be null: not verbose) is read for every response.
    // Returns a handle; callers need not keep it.
    static std::shared_ptr<TQ2LocalSocket> open(TQ2LocalServer *server, int descriptor,
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
    TQ2LocalSocket(TQ2LocalServer *server, int descriptor, const std::atomic<bool> *debugging);
    Q_DISABLE_COPY(TQ2LocalSocket)

    void run();
    // Reads what is available (bounded per call). False when the peer closed
    // or the socket failed; bytes read before that are kept.
    bool receive();
    // Parses and answers every complete request in `buffer`. False when the
    // connection must close (bad bytes, oversized datagram, failed write).
    bool parsePass();
    void handle(const TQ2RpcPacket &request);
    // Writes all of `bytes`, waiting up to 30 s for the peer to drain.
    bool send(const QByteArray &bytes);
    void requestStop();

    TQ2LocalServer *server;
    int descriptor;
    const std::atomic<bool> *debugging;
    QByteArray buffer;
    TQ2Cabinet cabinet;
    std::atomic<bool> running{true};
    std::atomic<bool> stopping{false};

    int wakeFd = -1; // eventfd written by stop()
    std::thread::id threadId;
    std::mutex endMutex;
    std::condition_variable ended;
};
