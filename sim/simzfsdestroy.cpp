#include "simzfsdestroy.h"

#include "simfiles.h"
#include "simargs.h"
#include "simbusy.h"
#include "simnames.h"
#include "simtext.h"
#include "simusage.h"
#include "simzfsbookmark.h"
#include "simversion.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

std::string SimZfsDestroy::heldMessage(const std::string &snapshot)
{
    if (!SimVersion::current().namesHoldOnDestroy())
        return "cannot destroy snapshot " + snapshot + ": dataset is busy";
    return "cannot destroy snapshot " + snapshot + ": it's being held. Run 'zfs holds -r " + snapshot +
           "' to see holders.";
}

bool SimZfsDestroy::removeSnapshot(SimRoot &root, SimPool &pool, SimDataset &ds, uint64_t snapId,
                                   std::string &error)
{
    if (!root.store(pool, ds).removeSnapshot(snapId, error))
        return false;
    ds.snaps.erase(std::remove_if(ds.snaps.begin(), ds.snaps.end(),
                                  [snapId](const SimSnap &s) { return s.id == snapId; }),
                   ds.snaps.end());
    return true;
}

int SimZfsDestroy::run(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("fnpRrvd", {}, error))
        return SimUsage::fail("zfs", "destroy", error);
    bool recursive = false, dryRun = false, verbose = false;
    for (const auto &o : parser.options()) {
        recursive |= o.id == 'r' || o.id == 'R';
        dryRun |= o.id == 'n';
        verbose |= o.id == 'v';
    }
    const auto &ops = parser.operands();
    if (ops.size() != 1)
        return SimUsage::fail("zfs", "destroy", ops.empty() ? "missing dataset argument" : "too many arguments");
    const std::string name = ops[0];
    if (name.find('#') != std::string::npos)
        return SimZfsBookmark::destroy(root, name);
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimRoot::Found f = root.find(SimNames::datasetOf(name));
    if (!f.ds) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", SimNames::datasetOf(name).c_str());
        return 1;
    }
    std::vector<SimDataset *> tree = {f.ds};
    for (auto *d : f.pool->descendants(f.ds->name))
        tree.push_back(d);

    // Snapshot form: the named snapshots of the file system (and, with -r,
    // the same names in every descendant).
    if (SimNames::isSnapshot(name)) {
        std::vector<std::pair<SimDataset *, SimSnap *>> victims;
        for (const auto &snapName : SimText::split(SimNames::snapOf(name), ',')) {
            for (auto *d : tree) {
                if (d != f.ds && !recursive)
                    continue;
                if (SimSnap *s = d->snap(snapName))
                    victims.push_back({d, s});
            }
        }
        if (victims.empty()) {
            fputs("could not find any snapshots to destroy; check snapshot names.\n", stderr);
            return 1;
        }
        for (const auto &v : victims)
            if (!v.second->holds.empty()) {
                fprintf(stderr, "%s\n", heldMessage(v.first->name + "@" + v.second->name).c_str());
                return 1;
            }
        for (const auto &v : victims)
            if (verbose)
                printf("%s %s@%s\n", dryRun ? "would destroy" : "will destroy", v.first->name.c_str(),
                       v.second->name.c_str());
        if (dryRun)
            return 0;
        std::vector<std::pair<SimDataset *, uint64_t>> ids;
        for (const auto &v : victims)
            ids.push_back({v.first, v.second->id});
        for (const auto &v : ids)
            if (!removeSnapshot(root, *f.pool, *v.first, v.second, error))
                return SimUsage::internal(error);
        f.pool->txg++;
        return root.save(*f.pool, error) ? 0 : SimUsage::internal(error);
    }

    const bool isPoolRoot = f.ds->name == f.pool->name;
    if (isPoolRoot && !recursive) {
        fprintf(stderr, "cannot destroy '%s': operation does not apply to pools\n"
                        "use 'zfs destroy -r %s' to destroy all datasets in the pool\n"
                        "use 'zpool destroy %s' to destroy the pool itself\n",
                name.c_str(), name.c_str(), name.c_str());
        return 1;
    }
    if (!recursive && (tree.size() > 1 || !f.ds->snaps.empty())) {
        fprintf(stderr, "cannot destroy '%s': filesystem has children\n"
                        "use '-r' to destroy the following datasets:\n",
                name.c_str());
        for (auto *d : tree) {
            if (d != f.ds)
                fprintf(stderr, "%s\n", d->name.c_str());
            for (const auto &s : d->snaps)
                fprintf(stderr, "%s@%s\n", d->name.c_str(), s.name.c_str());
        }
        return 1;
    }
    for (auto *d : tree)
        for (const auto &s : d->snaps)
            if (!s.holds.empty()) {
                fprintf(stderr, "%s\n", heldMessage(d->name + "@" + s.name).c_str());
                return 1;
            }
    if (!dryRun) {
        std::vector<SimDataset *> victims = tree;
        if (isPoolRoot)
            victims.erase(victims.begin()); // the pool's root file system stays
        const std::string busy = SimBusy(root.faultsDir()).refusal(root, *f.pool, victims, "destroy", true);
        if (!busy.empty()) {
            fputs(busy.c_str(), stderr);
            return 1;
        }
    }
    // Deepest first; the pool's root file system itself stays.
    std::vector<std::string> order;
    for (auto *d : tree)
        order.push_back(d->name);
    std::sort(order.rbegin(), order.rend());
    for (const auto &dsName : order) {
        SimDataset *d = f.pool->dataset(dsName);
        if (verbose)
            for (const auto &s : d->snaps)
                printf("%s %s@%s\n", dryRun ? "would destroy" : "will destroy", dsName.c_str(), s.name.c_str());
        if (verbose && !(isPoolRoot && dsName == f.pool->name))
            printf("%s %s\n", dryRun ? "would destroy" : "will destroy", dsName.c_str());
        if (dryRun)
            continue;
        std::vector<uint64_t> ids;
        for (const auto &s : d->snaps)
            ids.push_back(s.id);
        for (uint64_t id : ids)
            if (!removeSnapshot(root, *f.pool, *d, id, error))
                return SimUsage::internal(error);
        if (isPoolRoot && dsName == f.pool->name)
            continue;
        if (!root.store(*f.pool, *d).destroy(error) ||
            !SimFiles::removeTree(root.partialDir(f.pool->name, d->id), error))
            return SimUsage::internal(error);
        const uint64_t id = d->id;
        f.pool->datasets.erase(std::remove_if(f.pool->datasets.begin(), f.pool->datasets.end(),
                                              [id](const SimDataset &x) { return x.id == id; }),
                               f.pool->datasets.end());
    }
    if (dryRun)
        return 0;
    f.pool->txg++;
    return root.save(*f.pool, error) ? 0 : SimUsage::internal(error);
}

} // namespace zsim
