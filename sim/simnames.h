// Dataset, snapshot and pool name rules of ZFS (zfs_namecheck.c): which
// characters a component may hold and what makes a name malformed. The
// reasons are the texts zfs prints after "cannot open '<name>': ".
#pragma once

#include <string>

namespace zsim {

class SimNames {
public:
    // A file system name ("tank/data"); a snapshot when `allowSnapshot` and
    // the name has one "@".
    static bool valid(const std::string &name, bool allowSnapshot, std::string &reason);
    static bool validComponent(const std::string &component, std::string &reason);
    static bool isSnapshot(const std::string &name) { return name.find('@') != std::string::npos; }
    static std::string datasetOf(const std::string &name) { return name.substr(0, name.find('@')); }
    static std::string snapOf(const std::string &name);
    // "tank/a/b" -> "tank/a"; empty for a pool name.
    static std::string parentOf(const std::string &name);
};

} // namespace zsim
