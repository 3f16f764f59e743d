// `zpool list [-gHLpPv] [-o prop,...] [-j [--json-int] [--json-pool-key-guid]]
// [pool]...`, and the simulator's own pool management: `zpool create [-f]
// [-m mountpoint] [-o ...] [-O ...] NAME SIZE` (SIZE such as 4G: the pool's
// capacity for space accounting) and `zpool destroy [-f] NAME`.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

struct SimPoolRow {
    std::string name;
    std::string guid;
    std::string txg;
    std::vector<std::pair<std::string, std::string>> properties; // canonical name, value
};

class SimZpool {
public:
    static int list(SimRoot &root, const std::vector<std::string> &args);
    static int create(SimRoot &root, const std::vector<std::string> &args);
    static int destroy(SimRoot &root, const std::vector<std::string> &args);

    // $ zpool list -pjo name,size,free
    // {"output_version":{"command":"zpool list","vers_major":0,"vers_minor":1},"pools":{"tank":{...}}}
    static std::string json(const std::vector<SimPoolRow> &rows, bool jsonInt, bool keyByGuid);
};

} // namespace zsim
