// The local (Unix-domain) socket server of the RPC protocol. It listens
// under a name, hands every accepted connection to a TQ2LocalSocket that
// serves it on a thread of its own, and dispatches each request through its
// root router: first the "__LS__" lookup (doCall), then the plain method name
// (doSlot). localRequest is the matching blocking client call.
//
// The server object lives on the thread that runs its event loop (accepting
// happens there). Connection threads call doCall concurrently. The server
// keeps a registry of its live connections so that destruction can stop them
// before the router they use goes away.
#pragma once

#include "tq2todorouter.h"

#include <QJsonObject>
#include <QLocalServer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class TQ2Cabinet;
class TQ2LocalSocket;

class TQ2LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    // At most 1024 pending connections; everyone may connect to the socket.
    explicit TQ2LocalServer(QObject *parent = nullptr);
    // Stops listening, then stops every live connection and waits for their
    // threads to let go of the server (a connection busy in a method is
    // waited for).
    ~TQ2LocalServer() override;

    // Listens under `name` (a bare name lives in the temporary directory, a
    // name with "/" is a socket file path whose missing directories are
    // created). A socket file left by a dead server is replaced; one that a
    // live server still answers on is not taken over (false). True when
    // listening (also when already listening).
    bool start(const QString &name);
    // Closes the listening socket; live connections keep running.
    void stop();
    bool isRunning() const;
    // Adds `router` (not owned) to the children of the root router.
    void add(TQ2TodoRouter *router);
    TQ2TodoRouter *rootRouter() { return &root; }

    // Written before listening; read by every connection for each response:
    // when set, responses carry "elapsed" and "journals".
    void setDebugging(bool on) { debugging.store(on); }
    bool isDebugging() const { return debugging.load(); }

    // Dispatches one request (any thread): root doCall, then root doSlot. When
    // neither finds the method and `envObject` is given, its error becomes
    // 9885 with "被调用的方法不存在: " + the untrimmed "cmd".
    bool doCall(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject);

    // Connections being served now (thread-safe).
    int connectionCount() const;
    // Handles of the live connections, e.g. to stop one (thread-safe).
    std::vector<std::shared_ptr<TQ2LocalSocket>> connections() const;
    // Asks every live connection to end and waits until all have ended.
    void closeConnections();

    // The socket file path a name stands for (Qt's rule: a name starting
    // with "/" is a path, any other name lives in the temporary directory).
    static QString socketPath(const QString &name);

    // Client call from any thread, no event loop needed. Connects to `name`
    // (waiting at most 2000 ms), writes `request` as one datagram and, when
    // `response` is given and `timeout` (seconds) is positive, waits for the
    // first non-empty packet until `timeout` seconds after the call began.
    // False when the server cannot be reached, the connection fails or no
    // answer came in time; `error` (optional) then says why.
    static bool localRequest(const QString &name, const QJsonObject &request, QJsonObject *response,
                             int timeout, QString *error = nullptr);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    friend class TQ2LocalSocket;
    // Registry of live connections; the key identifies the entry.
    std::uint64_t connectionStarted(const std::shared_ptr<TQ2LocalSocket> &connection);
    // Called by a connection thread once its object is released.
    void connectionEnded(std::uint64_t key);

    std::atomic<bool> debugging{false};
    QString name;
    TQ2TodoRouter root;

    mutable std::mutex connectionsMutex;
    std::condition_variable connectionsDone;
    std::map<std::uint64_t, std::weak_ptr<TQ2LocalSocket>> live;
    std::uint64_t nextKey = 1;
};
