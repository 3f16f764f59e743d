// Bookmarks as OpenZFS 2.3 has them: `zfs bookmark SNAPSHOT|BOOKMARK
// NEWBOOKMARK` (either name may be short, "@snap" / "#bm", when the other is
// a full one), `zfs destroy FS#BM`, and the values `zfs list -t bookmark`
// shows (name, type, guid, createtxg, creation; "-" for the rest). A
// bookmark is no snapshot: it holds no data, takes no hold and cannot start
// a replication package; it can be the base of one incremental stream.
#pragma once

#include "simprops.h"
#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsBookmark {
public:
    static int bookmark(SimRoot &root, const std::vector<std::string> &args);
    // `zfs destroy FS#BM` (the caller has parsed the options).
    static int destroy(SimRoot &root, const std::string &name);

    // The ivset guid a snapshot of an encrypted dataset has (every raw
    // receive keeps it, as it keeps the guid); 0 for an unencrypted one.
    static uint64_t ivsetOf(const SimDataset &ds, const SimSnap &snap);
    // "tank/data#bm" -> the bookmark, null when any part is missing.
    static SimBookmark *find(SimRoot &root, const std::string &name, SimPool **pool = nullptr,
                             SimDataset **ds = nullptr);
    static SimValue value(const SimDataset &ds, const SimBookmark &bm, const std::string &prop, bool parsable);
};

} // namespace zsim
