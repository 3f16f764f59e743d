// `zfs list [-r|-d max] [-Hp] [-j [--json-int]] [-o prop,...] [-s prop]...
//  [-S prop]... [-t type,...] [name]...`
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsList {
public:
    // Runs the command on `root`; returns the exit status.
    static int run(SimRoot &root, const std::vector<std::string> &args);
    // Parses a -t list into the two kinds the simulator has; false (with the
    // offending word in `bad`) for an unknown type.
    static bool parseTypes(const std::string &list, bool &filesystems, bool &snapshots, std::string &bad);
    // The same with bookmarks ("bookmark", and "all" takes them too).
    static bool parseTypes(const std::string &list, bool &filesystems, bool &snapshots, bool &bookmarks,
                           std::string &bad);
};

} // namespace zsim
