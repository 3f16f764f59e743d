// Who may talk to the local RPC server. Without a group every local user
// may (the socket is world-accessible); with a group, only root and members
// of that group (primary or supplementary) may, checked on each accepted
// connection from the kernel's credentials of the peer (SO_PEERCRED).
//
// Immutable after construction; safe to use from any thread.
#pragma once

#include <QString>

#include <sys/types.h>
#include <vector>

class TQ2PeerAccess
{
public:
    // Everyone may connect.
    TQ2PeerAccess() = default;

    // Only root and members of the group named `groupName`. When no such
    // group exists, isValid() is false and nobody but root is admitted.
    static TQ2PeerAccess forGroup(const QString &groupName);

    bool isRestricted() const { return restricted; }
    bool isValid() const { return !restricted || groupFound; }
    QString groupName() const { return name; }
    gid_t groupId() const { return gid; }

    // Checks the peer of the connected socket `fd`. False when the
    // credentials cannot be read.
    bool admits(int fd) const;
    // The decision for a peer with user `uid` whose primary group is `primary`
    // and whose groups (from the user database) are `groups`.
    bool admits(uid_t uid, gid_t primary, const std::vector<gid_t> &groups) const;

    // The groups of user `uid` (primary first, then supplementary); empty
    // when the user is unknown.
    static std::vector<gid_t> groupsOfUser(uid_t uid);

private:
    bool restricted = false;
    bool groupFound = false;
    QString name;
    gid_t gid = gid_t(-1);
};
