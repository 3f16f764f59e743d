// The places and bytes the local RPC server hands out, counted per peer
// user (uid) so that no one user can take them all: a user may hold at most
// its share of connections and of bytes of unhandled requests, and all users
// together at most the global bounds. Root (uid 0) is still served when the
// other users have taken every global place or byte, within its own share,
// so the administrator is never locked out.
//
// Thread-safe: the accept thread takes places, connection threads reserve
// and release bytes, and a connection's end gives its place back.
#pragma once

#include <QtGlobal>

#include <map>
#include <mutex>
#include <sys/types.h>

class TQ2PeerQuota
{
public:
    struct Bounds {
        int connections = 0;        // all users together
        int peerConnections = 0;    // one user
        qint64 pendingBytes = 0;    // all users together
        qint64 peerPendingBytes = 0; // one user
    };

    TQ2PeerQuota() = default;
    explicit TQ2PeerQuota(const Bounds &bounds) : bounds(bounds) {}
    Q_DISABLE_COPY(TQ2PeerQuota)

    // Replaces the bounds; counts taken so far stay. Set before serving.
    void setBounds(const Bounds &value);

    // Takes a connection place for `uid`: true and counted when the user is
    // under its share and the total under its bound (root: within its share
    // only); false and nothing changed otherwise.
    bool takeConnection(uid_t uid);
    // Gives back a place taken by takeConnection.
    void releaseConnection(uid_t uid);

    // Counts `bytes` more for `uid` under the same rule; false and nothing
    // changed when they do not fit.
    bool reserveBytes(uid_t uid, qint64 bytes);
    // Gives back `bytes` counted by reserveBytes.
    void releaseBytes(uid_t uid, qint64 bytes);

    int connections() const;
    int connectionsOf(uid_t uid) const;
    qint64 pendingBytes() const;
    qint64 pendingBytesOf(uid_t uid) const;

private:
    struct Held {
        int connections = 0;
        qint64 bytes = 0;
    };
    // Drops the entry of `uid` when it holds nothing. Called with the lock.
    void forgetIfEmpty(std::map<uid_t, Held>::iterator entry);

    Bounds bounds;
    mutable std::mutex mutex;
    std::map<uid_t, Held> held;
    int totalConnections = 0;
    qint64 totalBytes = 0;
};
