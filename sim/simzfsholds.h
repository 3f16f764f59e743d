// User holds on snapshots: `zfs holds [-rHp] snap...`, `zfs hold [-r] tag
// snap...`, `zfs release [-r] tag snap...`.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

struct SimHoldLine {
    std::string snapshot;
    std::string tag;
    int64_t time;
};

class SimZfsHolds {
public:
    static int holds(SimRoot &root, const std::vector<std::string> &args);
    static int hold(SimRoot &root, const std::vector<std::string> &args);
    static int release(SimRoot &root, const std::vector<std::string> &args);

    // $ zfs holds -H tank/data@b
    // tank/data@b	keep	Thu Dec  7 19:30 2023
    // The listing as `zfs holds` prints it (header and padding unless
    // `scripted`; epoch seconds with `parsable`). Times in local time.
    static std::string format(const std::vector<SimHoldLine> &lines, bool scripted, bool parsable);
};

} // namespace zsim
