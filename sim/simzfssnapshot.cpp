#include "simzfssnapshot.h"

#include "simargs.h"
#include "simbusy.h"
#include "simcrypto.h"
#include "simnames.h"
#include "simprops.h"
#include "simtext.h"
#include "simusage.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

namespace zsim {

namespace {

struct Planned {
    SimPool *pool;
    std::string dsName;
    std::string snapName;
};

} // namespace

int SimZfsSnapshot::snapshot(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("ro:", {}, error))
        return SimUsage::fail("zfs", "snapshot", error);
    bool recursive = false;
    // -o PROP=VALUE: user properties of the new snapshots (the native ones
    // a snapshot could take are not simulated).
    std::map<std::string, std::string> props;
    for (const auto &o : parser.options()) {
        recursive |= o.id == 'r';
        if (o.id != 'o')
            continue;
        const size_t eq = o.arg.find('=');
        if (eq == std::string::npos || eq == 0)
            return SimUsage::fail("zfs", "snapshot", "missing '=' for property=value argument");
        const std::string prop = o.arg.substr(0, eq);
        if (props.count(prop))
            return SimUsage::fail("zfs", "snapshot", "property '" + prop + "' specified multiple times");
        props[prop] = o.arg.substr(eq + 1);
    }
    const auto &names = parser.operands();
    if (names.empty())
        return SimUsage::fail("zfs", "snapshot", "missing snapshot argument");
    for (const auto &p : props)
        if (!SimProps::isUserProp(p.first)) {
            fprintf(stderr, "cannot create snapshot '%s': invalid property '%s'\n", names[0].c_str(), p.first.c_str());
            return 1;
        }
    if (!root.open(true, error))
        return SimUsage::internal(error);
    const bool many = recursive || names.size() > 1;
    std::vector<Planned> plan;
    for (const auto &name : names) {
        std::string reason;
        if (!SimNames::isSnapshot(name)) {
            fprintf(stderr, "cannot create snapshot '%s': missing '@' delimiter in snapshot name\n", name.c_str());
            return 1;
        }
        if (!SimNames::valid(name, true, reason)) {
            fprintf(stderr, "cannot create snapshot '%s': %s\n", name.c_str(), reason.c_str());
            if (many)
                fputs("no snapshots were created\n", stderr);
            return 1;
        }
        SimRoot::Found f = root.find(SimNames::datasetOf(name));
        if (!f.ds)
            return SimUsage::fail("zfs", "snapshot",
                                  "cannot open '" + SimNames::datasetOf(name) + "': dataset does not exist");
        std::vector<SimDataset *> targets = {f.ds};
        if (recursive)
            for (auto *d : f.pool->descendants(f.ds->name))
                targets.push_back(d);
        for (auto *d : targets) {
            const std::string snapName = SimNames::snapOf(name);
            if (d->snap(snapName)) {
                fprintf(stderr, "cannot create snapshot '%s@%s': dataset already exists\n", d->name.c_str(),
                        snapName.c_str());
                if (many)
                    fputs("no snapshots were created\n", stderr);
                return 1;
            }
            for (const auto &p : plan)
                if (p.dsName == d->name && p.snapName == snapName) {
                    fprintf(stderr, "cannot create snapshot '%s': dataset already exists\n", name.c_str());
                    fputs("no snapshots were created\n", stderr);
                    return 1;
                }
            plan.push_back({f.pool, d->name, snapName});
        }
    }
    const int64_t now = time(nullptr);
    std::vector<SimPool *> touched;
    for (const auto &p : plan)
        if (std::find(touched.begin(), touched.end(), p.pool) == touched.end()) {
            touched.push_back(p.pool);
            p.pool->txg++; // all snapshots of one call share a txg
        }
    for (const auto &p : plan) {
        SimDataset *ds = p.pool->dataset(p.dsName);
        SimSnap s;
        s.id = p.pool->allocateId();
        s.name = p.snapName;
        s.guid = SimRoot::newGuid();
        s.createtxg = p.pool->txg;
        s.creation = now;
        s.props = props;
        if (!root.store(*p.pool, *ds).capture(s.id, error)) {
            fprintf(stderr, "cannot create snapshot '%s@%s': %s\n", p.dsName.c_str(), p.snapName.c_str(),
                    error.c_str());
            return 1;
        }
        ds->snaps.push_back(s);
    }
    for (auto *p : touched)
        if (!root.save(*p, error))
            return SimUsage::internal(error);
    return 0;
}

int SimZfsSnapshot::rename(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("fpur", {}, error))
        return SimUsage::fail("zfs", "rename", error);
    bool recursive = false, parents = false, noUnmount = false;
    for (const auto &o : parser.options()) {
        recursive |= o.id == 'r';
        parents |= o.id == 'p';
        noUnmount |= o.id == 'u';
    }
    const auto &ops = parser.operands();
    if (ops.size() != 2)
        return SimUsage::fail("zfs", "rename", ops.size() < 2 ? "missing target dataset argument" : "too many arguments");
    if (recursive && parents)
        return SimUsage::fail("zfs", "rename", "-p and -r options are mutually exclusive");
    if (noUnmount && parents)
        return SimUsage::fail("zfs", "rename", "-u and -p options are mutually exclusive");
    const std::string from = ops[0];
    std::string to = ops[1];
    if (SimNames::isSnapshot(from) && !to.empty() && to[0] == '@')
        to = SimNames::datasetOf(from) + to;
    if (recursive && !SimNames::isSnapshot(from))
        return SimUsage::fail("zfs", "rename", "source dataset for recursive rename must be a snapshot");
    std::string reason;
    if (!SimNames::valid(to, SimNames::isSnapshot(from), reason)) {
        fprintf(stderr, "cannot rename to '%s': %s\n", to.c_str(), reason.c_str());
        return 1;
    }
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimRoot::Found f = root.find(from);
    if (!f.ds || (SimNames::isSnapshot(from) && !f.snap)) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", from.c_str());
        return 1;
    }
    if (noUnmount && f.snap) {
        fprintf(stderr, "cannot open '%s': operation not applicable to datasets of this type\n", from.c_str());
        return 1;
    }
    if (SimNames::isSnapshot(from)) {
        if (SimNames::datasetOf(to) != f.ds->name) {
            fprintf(stderr, "cannot rename to '%s': snapshots must be part of same dataset\n", to.c_str());
            return 1;
        }
        const std::string oldName = f.snap->name, newName = SimNames::snapOf(to);
        std::vector<SimDataset *> targets = {f.ds};
        if (recursive)
            for (auto *d : f.pool->descendants(f.ds->name))
                targets.push_back(d);
        for (auto *d : targets)
            if (d->snap(oldName) && d->snap(newName)) {
                fprintf(stderr, "cannot rename to '%s@%s': dataset already exists\n", d->name.c_str(),
                        newName.c_str());
                return 1;
            }
        for (auto *d : targets)
            if (SimSnap *s = d->snap(oldName))
                s->name = newName;
    } else {
        if (SimRoot::poolOf(to) != f.pool->name) {
            fprintf(stderr, "cannot rename to '%s': datasets must be within same pool\n", to.c_str());
            return 1;
        }
        if (f.ds->name == f.pool->name) {
            fprintf(stderr, "cannot rename '%s': operation does not apply to pools\n", from.c_str());
            return 1;
        }
        if (SimText::startsWith(to, f.ds->name + "/")) {
            fprintf(stderr, "cannot rename to '%s': New dataset name cannot be a descendant of current dataset name\n",
                    to.c_str());
            return 1;
        }
        if (f.pool->dataset(to)) {
            fprintf(stderr, "cannot rename to '%s': dataset already exists\n", to.c_str());
            return 1;
        }
        const std::string parent = SimNames::parentOf(to);
        if (!f.pool->dataset(parent)) {
            if (!parents) {
                fprintf(stderr, "cannot rename to '%s': parent does not exist\n", to.c_str());
                return 1;
            }
            fprintf(stderr, "cannot rename to '%s': parent does not exist (creating parents is not simulated)\n",
                    to.c_str());
            return 1;
        }
        // A file system sharing its parent's key stays below its encryption root.
        if (SimDataset *encRoot = SimCrypto::root(*f.pool, *f.ds)) {
            if (encRoot != f.ds && to != encRoot->name && !SimText::startsWith(to, encRoot->name + "/")) {
                fprintf(stderr, "cannot rename '%s': cannot move encrypted child outside of its encryption root\n",
                        from.c_str());
                return 1;
            }
        }
        // Without -u the file systems are unmounted, renamed and mounted
        // again; with -u they stay mounted where they are.
        std::vector<SimDataset *> tree = {f.ds};
        for (auto *d : f.pool->descendants(f.ds->name))
            tree.push_back(d);
        const std::string busy = SimBusy(root.faultsDir()).refusal(root, *f.pool, tree, "rename", !noUnmount);
        if (!busy.empty()) {
            fputs(busy.c_str(), stderr);
            return 1;
        }
        const std::string oldName = f.ds->name;
        for (auto &d : f.pool->datasets)
            if (d.name == oldName || SimText::startsWith(d.name, oldName + "/"))
                d.name = to + d.name.substr(oldName.size());
        f.pool->sortDatasets();
    }
    f.pool->txg++;
    if (!root.save(*f.pool, error))
        return SimUsage::internal(error);
    return 0;
}

} // namespace zsim
