// Helpers of the RPC tests: a router with a few test methods, a server run
// on its own thread with its own event loop, and a raw socket client that
// gives byte-level control over what is written and when.
#pragma once

#include "tq2cabinet.h"
#include "tq2localserver.h"
#include "tq2todorouter.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class QEventLoop;

// Methods: "echo" (results = params), "fail" (9995 with a message), "count"
// (counts calls), "slow" (sleeps params.ms, at most 5 s), "plain" and
// "__LS__plain" (results "plain"/"ls"), "protocol" (results = the cabinet's
// "protocol" entry), "quiet" (does nothing, not even with "help").
class TestRouter : public TQ2TodoRouter
{
    Q_OBJECT
public:
    std::atomic<int> counted{0};

public slots:
    void echo(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void fail(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void count(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void slow(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void plain(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void __LS__plain(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void protocol(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void quiet(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
};

// A TQ2LocalServer created, run and destroyed on a thread of its own.
class ServerThread
{
public:
    explicit ServerThread(TQ2TodoRouter *router = nullptr, bool debugging = false);
    ~ServerThread();
    // Limits and access the server gets before it starts (defaults otherwise).
    void configure(const TQ2ServerLimits &limits, const TQ2PeerAccess &access = TQ2PeerAccess());
    // Starts the thread and the server under `name`; the result of start().
    bool start(const QString &name);
    // Ends the event loop and destroys the server (which stops connections).
    void stop();
    TQ2LocalServer *server() const { return srv; }

private:
    void run(QString name);

    TQ2TodoRouter *router;
    bool debugging;
    TQ2ServerLimits limits;
    TQ2PeerAccess access;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    bool started = false;
    QEventLoop *loop = nullptr;
    TQ2LocalServer *srv = nullptr;
};

// A blocking client on a raw Unix-domain socket.
class RawClient
{
public:
    explicit RawClient(const QString &path);
    ~RawClient();
    bool isConnected() const { return fd >= 0; }
    bool write(const QByteArray &bytes);
    // Half-closes: the server sees the end of the stream, reading goes on.
    void shutdownWrite();
    // The next non-empty packet within `timeoutMs`; false on time-out, close
    // or bytes that are not a datagram.
    bool read(QJsonObject &packet, int timeoutMs = 5000);
    // Writes `request` and reads the answer; an empty object on failure.
    QJsonObject call(const QJsonObject &request);
    // True when the server closes the connection within `timeoutMs`
    // (anything received before is dropped).
    bool waitClosed(int timeoutMs);
    // True when nothing at all arrives within `ms` and the connection is open.
    bool staysQuiet(int ms);

private:
    int fd = -1;
    QByteArray buffer;
};

// A short socket path inside a fresh temporary directory.
class SocketDir
{
public:
    SocketDir();
    QString path(const QString &name = QStringLiteral("s.sock")) const;

private:
    QTemporaryDir dir;
};
