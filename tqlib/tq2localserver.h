// The local (Unix-domain) socket server of the RPC protocol. It listens
// under a name, hands every accepted connection to a TQ2LocalSocket that
// serves it on a thread of its own, and dispatches each request through its
// root router: first the "__LS__" lookup (doCall), then the plain method name
// (doSlot). localRequest is the matching blocking client call.
//
// The server object lives on the thread that runs its event loop (accepting
// happens there, from a socket notifier). Connection threads call doCall
// concurrently. The server keeps a registry of its live connections so that
// destruction can stop them before the router they use goes away.
//
// Bounds (TQ2ServerLimits): connections beyond the cap, or beyond the share
// of the peer's user, are closed at accept and cost no thread; an accept
// that fails for want of descriptors or memory pauses accepting for a moment
// and never closes the listening socket; the bytes held by the connections'
// unhandled requests are counted here per peer user (TQ2PeerQuota).
// Access (TQ2PeerAccess): with a group, the socket file is 0660 root:group
// and every peer is checked at accept; otherwise it is 0777. The socket's
// directory must be one other users cannot write (TQ2SocketPlace).
#pragma once

#include "tq2peeraccess.h"
#include "tq2peerquota.h"
#include "tq2serverlimits.h"
#include "tq2todorouter.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class QSocketNotifier;
class TQ2Cabinet;
class TQ2LocalSocket;

class TQ2LocalServer : public QObject
{
    Q_OBJECT
public:
    // At most 1024 pending connections; default limits; everyone may connect.
    explicit TQ2LocalServer(QObject *parent = nullptr);
    // Stops listening, then stops every live connection and waits for their
    // threads to let go of the server (a connection busy in a method is
    // waited for).
    ~TQ2LocalServer() override;

    // Listens under `name` (a bare name lives in the temporary directory, a
    // name with "/" is a socket file path whose missing directories are
    // created). A socket file left by a dead server is replaced; one that a
    // live server still answers on is not taken over (false), nor is a
    // directory other users can write used, nor another user's file at the
    // path (false, see TQ2SocketPlace). True when listening (also when
    // already listening).
    bool start(const QString &name);
    // Closes the listening socket and removes its file (when it is still
    // this server's); live connections keep running.
    void stop();
    bool isRunning() const;
    QString serverName() const { return name; }
    // Why the last start() failed (empty after a successful one).
    QString errorString() const { return startError; }

    // Set before start(): the limits apply to connections accepted later.
    void setLimits(const TQ2ServerLimits &value) { bounds = value; }
    const TQ2ServerLimits &limits() const { return bounds; }
    // Set before start(): the socket file's mode and group follow it.
    void setAccess(const TQ2PeerAccess &value) { access = value; }
    const TQ2PeerAccess &peerAccess() const { return access; }

    // Bytes of unhandled requests held by all connections. Any thread.
    qint64 pendingBytes() const { return quota.pendingBytes(); }
    // The places and bytes taken per peer user (read-only view).
    const TQ2PeerQuota &peerQuota() const { return quota; }

    // Connections closed at accept because the cap or the user's share was
    // reached, peers refused by the access check (or whose credentials
    // could not be read), and pauses after failed accepts.
    quint64 refusedAtCap() const { return refusedCap.load(); }
    quint64 refusedPeers() const { return refusedPeer.load(); }
    quint64 acceptPauses() const { return pauses.load(); }
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

private:
    // Accepts what is waiting (a bounded batch per call); on EMFILE, ENFILE,
    // ENOMEM or ENOBUFS stops listening for events and resumes later.
    void acceptPending();
    // Serves, or closes at once, the accepted descriptor `fd`.
    void admit(int fd);
    void closeListener();

    friend class TQ2LocalSocket;
    // Registry of live connections; the key identifies the entry.
    std::uint64_t connectionStarted(const std::shared_ptr<TQ2LocalSocket> &connection);
    // Called by a connection thread once its object is released: the entry
    // goes, and the place taken for the peer user `uid` at accept is freed.
    void connectionEnded(std::uint64_t key, uid_t uid);

    std::atomic<bool> debugging{false};
    QString name;
    QString startError;
    TQ2TodoRouter root;
    TQ2ServerLimits bounds;
    TQ2PeerAccess access;

    int listenFd = -1;
    unsigned long socketInode = 0;
    QSocketNotifier *notifier = nullptr; // child of this object
    QTimer resume;
    TQ2PeerQuota quota;
    std::atomic<quint64> refusedCap{0};
    std::atomic<quint64> refusedPeer{0};
    std::atomic<quint64> pauses{0};

    mutable std::mutex connectionsMutex;
    std::condition_variable connectionsDone;
    std::map<std::uint64_t, std::weak_ptr<TQ2LocalSocket>> live;
    std::uint64_t nextKey = 1;
};
