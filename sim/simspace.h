// Space accounting of the simulated pools, computed from the files on disk:
// a dataset's own data, the space only its snapshots hold, its children's
// usage, the pool's allocation and the space left. Results are cached for the
// life of the object (one command), which therefore must not outlive a change.
#pragma once

#include "simroot.h"

#include <map>
#include <string>

namespace zsim {

class SimSpace {
public:
    explicit SimSpace(SimRoot &root) : m_root(root) {}

    // The reserve ZFS keeps back from `zfs` users: 1/32 of the pool, at least
    // min(128 MiB, half the pool), at most 128 GiB.
    static uint64_t slop(uint64_t poolSize);

    const SimSpaceUsage &usage(SimPool &pool, SimDataset &ds);
    uint64_t usedByChildren(SimPool &pool, SimDataset &ds);
    uint64_t used(SimPool &pool, SimDataset &ds);
    // The "written" of a file system: 0 while it holds just what its newest
    // snapshot holds; once changed (or without any snapshot), the bytes it
    // references (a stand-in for what OpenZFS counts: the bytes its newest
    // snapshot does not reference).
    uint64_t written(SimPool &pool, SimDataset &ds);
    uint64_t allocated(SimPool &pool);
    uint64_t available(SimPool &pool);

private:
    SimRoot &m_root;
    std::map<std::string, SimSpaceUsage> m_cache;
};

} // namespace zsim
