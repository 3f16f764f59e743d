#include "simspace.h"

#include <algorithm>

namespace zsim {

uint64_t SimSpace::slop(uint64_t poolSize)
{
    const uint64_t minSlop = 128ull << 20, maxSlop = 128ull << 30;
    uint64_t s = std::max(poolSize >> 5, std::min(poolSize >> 1, minSlop));
    return std::min(s, maxSlop);
}

const SimSpaceUsage &SimSpace::usage(SimPool &pool, SimDataset &ds)
{
    const std::string key = pool.name + "/" + std::to_string(ds.id);
    auto it = m_cache.find(key);
    if (it != m_cache.end())
        return it->second;
    std::vector<uint64_t> ids;
    for (const auto &s : ds.snaps)
        ids.push_back(s.id);
    SimSpaceUsage u;
    std::string error;
    m_root.store(pool, ds).usage(ids, u, error);
    return m_cache[key] = u;
}

uint64_t SimSpace::usedByChildren(SimPool &pool, SimDataset &ds)
{
    uint64_t sum = 0;
    const std::string prefix = ds.name + "/";
    for (auto *child : pool.descendants(ds.name)) {
        // direct children only; their used includes their own children
        if (child->name.find('/', prefix.size()) == std::string::npos)
            sum += used(pool, *child);
    }
    return sum;
}

uint64_t SimSpace::used(SimPool &pool, SimDataset &ds)
{
    const SimSpaceUsage &u = usage(pool, ds);
    return u.liveReferenced + u.snapshotsUsed + usedByChildren(pool, ds);
}

uint64_t SimSpace::allocated(SimPool &pool)
{
    uint64_t sum = 0;
    for (auto &ds : pool.datasets) {
        const SimSpaceUsage &u = usage(pool, ds);
        sum += u.liveReferenced + u.snapshotsUsed;
    }
    return sum;
}

uint64_t SimSpace::available(SimPool &pool)
{
    uint64_t reserved = slop(pool.size) + allocated(pool);
    return pool.size > reserved ? pool.size - reserved : 0;
}

uint64_t SimSpace::written(SimPool &pool, SimDataset &ds)
{
    // The live tree alone: a long history's manifests are not read.
    SimSpaceUsage live;
    std::string error;
    m_root.store(pool, ds).usage({}, live, error);
    const uint64_t referenced = live.liveReferenced;
    const SimSnap *newest = nullptr;
    for (const auto &s : ds.snaps)
        if (!newest || s.createtxg > newest->createtxg)
            newest = &s;
    if (!newest)
        return referenced;
    if (!m_root.store(pool, ds).modifiedSince(newest->id))
        return 0;
    return referenced > 0 ? referenced : 1;
}

} // namespace zsim
