// `zfs receive|recv [-FhMnsuv] [-d|-e] [-o prop=value]... [-x prop]... target`:
// reads a stream written by SimZfsSend from stdin and applies it the way
// ZFS does: a full stream creates (or with -F replaces) a file system, an
// incremental one finds its base by guid, refuses a destination modified
// since that base (unless -F rolls it back), skips a snapshot already present
// with the same guid, and every snapshot stream is atomic: a cut or corrupted
// stream leaves the destination as it was.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsRecv {
public:
    static int run(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
