#include "simrecvresume.h"

#include "simfiles.h"
#include "simusage.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

SimResumeToken SimRecvResume::token(const SimDataset &ds)
{
    SimResumeToken t;
    t.fromguid = ds.partial.fromguid;
    t.object = ds.partial.object;
    t.offset = ds.partial.offset;
    t.bytes = ds.partial.bytes;
    t.toguid = ds.partial.toguid;
    t.toname = ds.partial.toname;
    t.rawok = ds.partial.raw;
    return t;
}

std::string SimRecvResume::tokenText(const SimDataset &ds)
{
    return ds.partial.active ? token(ds).encode() : "-";
}

int SimRecvResume::abort(SimRoot &root, const std::vector<std::string> &operands)
{
    if (operands.size() != 1)
        return SimUsage::fail("zfs", "receive",
                              operands.empty() ? "missing snapshot argument" : "too many arguments");
    const std::string &name = operands[0];
    std::string error;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimRoot::Found f = root.find(name);
    if (!f.ds || f.snap) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", name.c_str());
        return 1;
    }
    if (!f.ds->partial.active) {
        fprintf(stderr, "'%s' does not have any resumable receive state to abort\n", name.c_str());
        return 1;
    }
    if (!SimFiles::removeTree(root.partialDir(f.pool->name, f.ds->id), error))
        return SimUsage::internal(error);
    if (f.ds->partial.newfs) {
        // The file system exists only because of the interrupted receive.
        if (!root.store(*f.pool, *f.ds).destroy(error))
            return SimUsage::internal(error);
        const uint64_t id = f.ds->id;
        auto &all = f.pool->datasets;
        all.erase(std::remove_if(all.begin(), all.end(), [id](const SimDataset &d) { return d.id == id; }),
                  all.end());
    } else {
        f.ds->partial = SimPartial();
    }
    f.pool->txg++;
    return root.save(*f.pool, error) ? 0 : SimUsage::internal(error);
}

} // namespace zsim
