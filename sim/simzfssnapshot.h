// `zfs snapshot [-r] [-o prop=value]... fs@snap...` and
// `zfs rename [-fpu] fs newfs`, `zfs rename [-r] fs@snap fs@new|@new`.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsSnapshot {
public:
    static int snapshot(SimRoot &root, const std::vector<std::string> &args);
    static int rename(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
