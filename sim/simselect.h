// Which datasets a `zfs list` or `zfs get` call covers: the named datasets or
// every pool, their descendants with -r / -d, their snapshots when the types
// ask for them, in the order zfs prints them (file systems by name, each
// followed by its snapshots in creation order).
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

struct SimNode {
    SimPool *pool = nullptr;
    SimDataset *ds = nullptr;
    SimSnap *snap = nullptr; // null for a file system
    SimBookmark *bm = nullptr; // a bookmark of `ds` (snap null)
    std::string name;
};

class SimSelect {
public:
    struct Options {
        bool filesystems = true;
        bool snapshots = false;
        bool bookmarks = false;
        bool recurse = false;
        int depth = -1; // -1: unlimited
    };

    // Fills `out` with the selected nodes in zfs order, without duplicates.
    // Prints "cannot open '<name>': <reason>" for every operand that does not
    // exist or is malformed and returns false when there was one.
    static bool select(SimRoot &root, const std::vector<std::string> &operands, const Options &opt,
                       std::vector<SimNode> &out);

    // zfs' default order: names compared without their snapshot part, a file
    // system before its snapshots, snapshots by createtxg; a bookmark's whole
    // name compares ("tank/a#b" after tank/a's snapshots, before "tank/a/c").
    static bool lessByName(const SimNode &a, const SimNode &b);

    static SimNode node(SimPool &pool, SimDataset &ds, SimSnap *snap);
    static SimNode node(SimPool &pool, SimDataset &ds, SimBookmark &bm);
};

} // namespace zsim
