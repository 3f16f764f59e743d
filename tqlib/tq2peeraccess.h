// Who may talk to the local RPC server. Without a group every local user
// may (the socket is world-accessible); with a group, only root and
// processes that hold that group (as their group or one of their
// supplementary groups) may. The decision rests on the kernel's credentials
// of the connecting process, taken when it connected (SO_PEERCRED for its
// uid and gid, SO_PEERGROUPS for its supplementary groups): nothing is
// looked up in the account database per connection, so the accept thread
// never waits on NSS, and a process that dropped a group is not served on
// the strength of what /etc/group says.
//
// Immutable after construction; safe to use from any thread.
#pragma once

#include <QString>

#include <sys/types.h>
#include <vector>

class TQ2PeerAccess
{
public:
    // The kernel's view of a connected peer.
    struct Credentials {
        uid_t uid = uid_t(-1);
        gid_t gid = gid_t(-1);
        std::vector<gid_t> groups; // supplementary groups (read only when asked for)
    };

    // Everyone may connect.
    TQ2PeerAccess() = default;

    // Only root and holders of the group named `groupName`, resolved to its
    // gid here, once. When no such group exists, isValid() is false and
    // nobody but root is admitted.
    static TQ2PeerAccess forGroup(const QString &groupName);

    bool isRestricted() const { return restricted; }
    bool isValid() const { return !restricted || groupFound; }
    QString groupName() const { return name; }
    gid_t groupId() const { return gid; }

    // Reads the credentials of the peer of the connected Unix socket `fd`;
    // the supplementary groups only when `withGroups`. False when the
    // kernel gives none (the peer must then be refused).
    static bool credentialsOf(int fd, Credentials &peer, bool withGroups);
    // Whether the groups matter for admits() (only with a group).
    bool needsGroups() const { return restricted; }

    // The decision for a peer with these credentials.
    bool admits(const Credentials &peer) const { return admits(peer.uid, peer.gid, peer.groups); }
    // The decision for a peer with user `uid`, group `primary` and
    // supplementary groups `groups`.
    bool admits(uid_t uid, gid_t primary, const std::vector<gid_t> &groups) const;

private:
    bool restricted = false;
    bool groupFound = false;
    QString name;
    gid_t gid = gid_t(-1);
};
