// `zfs get [-rHp] [-j [--json-int]] [-d max] [-o field,...] [-t type,...]
//  [-s source,...] all|prop[,prop]... [name]...`
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsGet {
public:
    static int run(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
