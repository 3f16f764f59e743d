#include "tq2peeraccess.h"

#include <QByteArray>

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

long bufferSize(int name)
{
    const long size = ::sysconf(name);
    return size > 0 ? size : 16384;
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

std::vector<gid_t> TQ2PeerAccess::groupsOfUser(uid_t uid)
{
    std::vector<char> buffer(size_t(bufferSize(_SC_GETPW_R_SIZE_MAX)));
    passwd entry {};
    passwd *found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 24))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return {};
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = int(groups.size());
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) >= 0) {
            groups.resize(size_t(count));
            return groups;
        }
        groups.resize(size_t(std::max(count, int(groups.size()) * 2)));
    }
    return {found->pw_gid};
}

bool TQ2PeerAccess::admits(uid_t uid, gid_t primary, const std::vector<gid_t> &groups) const
{
    if (!restricted || uid == 0)
        return true;
    if (!groupFound)
        return false;
    return primary == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool TQ2PeerAccess::admits(int fd) const
{
    if (!restricted)
        return true;
    ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer)
        return false;
    if (peer.uid == 0)
        return true;
    // The peer's process group id counts too: a process started with the
    // group (newgrp, sg) is a member for as long as it runs.
    return admits(peer.uid, peer.gid, groupsOfUser(peer.uid));
}
