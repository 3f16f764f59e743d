// The state root of one simulated machine (ZFS_SIM_ROOT): where its pools
// live, the lock that serialises changes, and name lookups across pools.
//
//   <root>/.lock                 flock(2): shared to read, exclusive to change
//   <root>/faults/               fault-injection knobs (see SimFaults)
//   <root>/pools/<pool>/pool.meta      metadata (SimPool)
//   <root>/pools/<pool>/ds/<id>/       file data of one dataset (SimDatasetStore)
//   <root>/pools/<pool>/tmp/           staging area of running receives
//   <root>/pools/<pool>/partial/<id>/  kept state of interrupted `recv -s`
//
// One process uses one SimRoot on one thread.
#pragma once

#include "simdatasetstore.h"
#include "simpool.h"

#include <string>
#include <vector>

namespace zsim {

class SimRoot {
public:
    // $ZFS_SIM_ROOT, or /var/lib/zfs-sim when it is unset or empty.
    static std::string configuredPath();
    // When running as root on a state root owned by another user, become that
    // user, so files written here stay writable for the owner's sessions.
    static void adoptOwner(const std::string &path);
    static uint64_t newGuid();
    // "tank/data@a" -> "tank"
    static std::string poolOf(const std::string &name);

    explicit SimRoot(std::string path);
    ~SimRoot();

    const std::string &path() const { return m_path; }
    // Creates the root and its sub-directories when missing.
    bool ensure(std::string &error);
    // Takes the lock and (re)reads every pool. A missing root reads as a
    // machine without pools. Only an exclusive lock creates the root.
    bool open(bool exclusive, std::string &error);
    void close();

    std::vector<SimPool> &pools() { return m_pools; }
    SimPool *pool(const std::string &name);
    bool save(const SimPool &pool, std::string &error);

    std::string poolDir(const std::string &pool) const { return m_path + "/pools/" + pool; }
    std::string faultsDir() const { return m_path + "/faults"; }
    std::string tmpDir(const std::string &pool) const { return poolDir(pool) + "/tmp"; }
    // What an interrupted resumable receive into dataset `id` kept (SimPartialStore).
    std::string partialDir(const std::string &pool, uint64_t id) const
    {
        return poolDir(pool) + "/partial/" + std::to_string(id);
    }
    SimDatasetStore store(const SimPool &pool, const SimDataset &ds) const;

    struct Found {
        SimPool *pool = nullptr;
        SimDataset *ds = nullptr;
        SimSnap *snap = nullptr;
    };
    // Looks up "pool/fs" or "pool/fs@snap"; members stay null for what is
    // missing (snap is null for a file system name).
    Found find(const std::string &name);

private:
    bool loadPools(std::string &error);

    std::string m_path;
    int m_lockFd = -1;
    std::vector<SimPool> m_pools;
};

} // namespace zsim
