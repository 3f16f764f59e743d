// `zfs destroy [-fnpRrv] fs` and `zfs destroy [-dnpRrv] fs@snap[,snap]...`.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsDestroy {
public:
    static int run(SimRoot &root, const std::vector<std::string> &args);

    // The refusal for a held snapshot (OpenZFS 2.3.3 and later wording).
    static std::string heldMessage(const std::string &snapshot);
    // Removes a snapshot's metadata and files (no hold check).
    static bool removeSnapshot(SimRoot &root, SimPool &pool, SimDataset &ds, uint64_t snapId,
                               std::string &error);
};

} // namespace zsim
