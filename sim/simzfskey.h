// `zfs load-key [-rn] [-L keylocation] <-a | filesystem>` and
// `zfs unload-key [-r] <-a | filesystem>` for encryption roots (SimCrypto).
// Loading reads the key where keylocation (or -L) says and checks it
// against the digest the root keeps; unloading refuses while a file system
// sharing the key is mounted. Errors as OpenZFS prints them:
//   Key load error: Incorrect key provided for 'backup/enc'.
//   Key unload error: 'tank/enc' is busy.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsKey {
public:
    static int load(SimRoot &root, const std::vector<std::string> &args);
    static int unload(SimRoot &root, const std::vector<std::string> &args);

private:
    static int run(SimRoot &root, const std::vector<std::string> &args, bool loading);
    // One encryption root; false after printing the error.
    static bool loadOne(SimPool &pool, SimDataset &ds, const std::string &keylocation, bool noop);
    static bool unloadOne(SimPool &pool, SimDataset &ds);
};

} // namespace zsim
