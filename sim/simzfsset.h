// `zfs set [-u] prop=value... name...`, `zfs inherit [-rS] prop name...`,
// `zfs create [-pu] [-o prop=value]... name`, and the simulator's own
// `zfs sim-path name[@snap]`, which prints the directory that holds a
// dataset's live files (or a snapshot's files) so tests can write and read
// data directly.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsSet {
public:
    static int set(SimRoot &root, const std::vector<std::string> &args);
    static int inherit(SimRoot &root, const std::vector<std::string> &args);
    static int create(SimRoot &root, const std::vector<std::string> &args);
    static int simPath(SimRoot &root, const std::vector<std::string> &args);

    // Whether a file system with these properties counts as mounted after a
    // mount attempt (canmount=on and a mount point that is a path).
    static bool mountable(SimRoot &root, SimPool &pool, SimDataset &ds);
};

} // namespace zsim
