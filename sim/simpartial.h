// What an interrupted `zfs recv -s` keeps so that `zfs send -t` can continue
// it: the BEGIN payload of the snapshot stream, every record received whole
// (as SimChange, files staged in the same directory), and the first bytes of
// the file record that was cut. It lives in one directory per dataset,
// <root>/pools/<pool>/partial/<dataset id>/, beside the staged files:
//   begin     the BEGIN payload as received
//   changes   one line per whole record, then at most one "tail" line
// The position itself (for the token) is kept in pool.meta (SimPartial).
// Callers hold the state root's exclusive lock.
#pragma once

#include "simdatasetstore.h"

#include <string>
#include <vector>

namespace zsim {

struct SimPartialData {
    std::string begin;
    std::vector<SimChange> changes;
    bool hasTail = false;
    SimChange tail;          // the cut file record; tail.staged holds its first bytes
    uint64_t tailBytes = 0;  // how many
};

class SimPartialStore {
public:
    // Writes begin and changes into `dir`; staged paths are stored relative
    // to `dir` (the files must already be there).
    static bool save(const std::string &dir, const SimPartialData &data, std::string &error);
    // Reads them back with staged paths made absolute again.
    static bool load(const std::string &dir, SimPartialData &data, std::string &error);
};

} // namespace zsim
