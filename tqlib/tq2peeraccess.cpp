#include "tq2peeraccess.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59 // Linux 4.13; older C libraries lack the name
#endif

namespace {

long bufferSize(int name)
{
    const long size = ::sysconf(name);
    return size > 0 ? size : 16384;
}

// The supplementary groups the peer of `fd` held when it connected.
// False when the kernel cannot tell (before Linux 4.13).
bool peerGroups(int fd, std::vector<gid_t> &groups)
{
    groups.assign(64, gid_t(0));
    for (int attempt = 0; attempt < 8; ++attempt) {
        socklen_t size = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            return true;
        }
        if (errno != ERANGE)
            break;
        // The kernel said how much room the list needs.
        groups.resize(std::max<size_t>(size / sizeof(gid_t), groups.size() * 2));
    }
    groups.clear();
    return false;
}

} // namespace

TQ2PeerAccess TQ2PeerAccess::forGroup(const QString &groupName)
{
    TQ2PeerAccess access;
    access.restricted = true;
    access.name = groupName;
    std::vector<char> buffer(size_t(bufferSize(_SC_GETGR_R_SIZE_MAX)));
    group entry {};
    group *found = nullptr;
    const QByteArray encoded = groupName.toLocal8Bit();
    while (::getgrnam_r(encoded.constData(), &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 24))
        buffer.resize(buffer.size() * 2);
    if (found) {
        access.groupFound = true;
        access.gid = found->gr_gid;
    }
    return access;
}

bool TQ2PeerAccess::credentialsOf(int fd, Credentials &peer, bool withGroups)
{
    ucred cred {};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred)
        return false;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    peer.groups.clear();
    // Without the list only the uid and gid count: a member by a
    // supplementary group alone is refused rather than guessed at.
    if (withGroups)
        peerGroups(fd, peer.groups);
    return true;
}

bool TQ2PeerAccess::admits(uid_t uid, gid_t primary, const std::vector<gid_t> &groups) const
{
    if (!restricted || uid == 0)
        return true;
    if (!groupFound)
        return false;
    return primary == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
}
