#include "simzfsset.h"

#include "simargs.h"
#include "simcrypto.h"
#include "simnames.h"
#include "simprops.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>
#include <ctime>
#include <map>

namespace zsim {

namespace {

bool splitAssignment(const std::string &word, std::string &prop, std::string &value)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    prop = word.substr(0, eq);
    value = word.substr(eq + 1);
    return true;
}

// keylocation names where the key of an encryption root is; "none" and
// nothing else on an unencrypted dataset.
bool keylocationFits(const SimDataset &ds, const std::string &prop, const std::string &value, std::string &reason)
{
    if (prop != "keylocation")
        return true;
    if (!ds.encrypted() && value != "none")
        reason = "keylocation must be 'none' for unencrypted datasets";
    else if (ds.encrypted() && value == "none")
        reason = "keylocation must not be 'none' for encrypted datasets";
    return reason.empty();
}

} // namespace

bool SimZfsSet::mountable(SimRoot &root, SimPool &pool, SimDataset &ds)
{
    SimSpace space(root);
    SimProps props(space);
    const std::string mp = props.value(pool, ds, nullptr, "mountpoint", true).value;
    const std::string cm = props.value(pool, ds, nullptr, "canmount", true).value;
    return cm == "on" && !mp.empty() && mp[0] == '/' && SimCrypto::readable(pool, ds);
}

int SimZfsSet::set(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("u", {}, error))
        return SimUsage::fail("zfs", "set", error);
    bool noMount = !parser.options().empty();
    std::vector<std::pair<std::string, std::string>> assignments;
    std::vector<std::string> names;
    for (const auto &w : parser.operands()) {
        std::string p, v;
        if (names.empty() && splitAssignment(w, p, v))
            assignments.push_back({p, v});
        else
            names.push_back(w);
    }
    if (assignments.empty())
        return SimUsage::fail("zfs", "set", "missing property=value argument(s)");
    if (names.empty())
        return SimUsage::fail("zfs", "set", "missing dataset name(s)");
    if (!root.open(true, error))
        return SimUsage::internal(error);
    int rc = 0;
    for (const auto &name : names) {
        SimRoot::Found f = root.find(name);
        if (!f.ds || (SimNames::isSnapshot(name) && !f.snap)) {
            fprintf(stderr, "cannot open '%s': dataset does not exist\n", name.c_str());
            rc = 1;
            continue;
        }
        bool good = true;
        for (const auto &a : assignments) {
            std::string reason;
            if (!SimProps::validateSet(a.first, a.second, f.snap != nullptr, reason) ||
                !keylocationFits(*f.ds, SimProps::canonical(a.first), a.second, reason)) {
                fprintf(stderr, "cannot set property for '%s': %s\n", name.c_str(), reason.c_str());
                good = false;
                rc = 1;
                break;
            }
        }
        if (!good)
            continue;
        bool remount = false;
        for (const auto &a : assignments) {
            const std::string prop = SimProps::canonical(a.first);
            f.ds->local[prop] = a.second;
            f.ds->inheritForced.erase(prop);
            remount = remount || prop == "mountpoint" || prop == "canmount";
        }
        // Only a new mount point or canmount (re)mounts a file system;
        // readonly=off and the like leave an unmounted replica unmounted.
        if (remount && !noMount)
            f.ds->mounted = mountable(root, *f.pool, *f.ds);
        f.pool->txg++;
        if (!root.save(*f.pool, error))
            return SimUsage::internal(error);
    }
    return rc;
}

int SimZfsSet::inherit(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("rS", {}, error))
        return SimUsage::fail("zfs", "inherit", error);
    bool recursive = false;
    for (const auto &o : parser.options())
        recursive |= o.id == 'r';
    const auto &ops = parser.operands();
    if (ops.size() < 2)
        return SimUsage::fail("zfs", "inherit", ops.empty() ? "missing property argument" : "missing dataset argument");
    const std::string prop = SimProps::canonical(ops[0]);
    if (prop.empty())
        return SimUsage::fail("zfs", "inherit", "invalid property '" + ops[0] + "'");
    if (!root.open(true, error))
        return SimUsage::internal(error);
    int rc = 0;
    for (size_t i = 1; i < ops.size(); i++) {
        SimRoot::Found f = root.find(ops[i]);
        if (!f.ds) {
            fprintf(stderr, "cannot open '%s': dataset does not exist\n", ops[i].c_str());
            rc = 1;
            continue;
        }
        std::vector<SimDataset *> targets = {f.ds};
        if (recursive)
            for (auto *d : f.pool->descendants(f.ds->name))
                targets.push_back(d);
        for (auto *d : targets) {
            d->local.erase(prop);
            d->inheritForced.erase(prop);
            d->mounted = d->mounted && mountable(root, *f.pool, *d);
        }
        f.pool->txg++;
        if (!root.save(*f.pool, error))
            return SimUsage::internal(error);
    }
    return rc;
}

int SimZfsSet::create(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("pPnuvo:V:b:s", {}, error))
        return SimUsage::fail("zfs", "create", error);
    bool parents = false, noMount = false;
    std::vector<std::pair<std::string, std::string>> props;
    for (const auto &o : parser.options()) {
        if (o.id == 'p')
            parents = true;
        else if (o.id == 'u')
            noMount = true;
        else if (o.id == 'V')
            return SimUsage::fail("zfs", "create", "volumes are not supported by the simulator");
        else if (o.id == 'o') {
            std::string p, v;
            if (!splitAssignment(o.arg, p, v))
                return SimUsage::fail("zfs", "create", "missing '=' for property=value argument");
            props.push_back({p, v});
        }
    }
    if (parser.operands().size() != 1)
        return SimUsage::fail("zfs", "create", parser.operands().empty() ? "missing filesystem argument" : "too many arguments");
    const std::string name = parser.operands()[0];
    std::string reason;
    if (!SimNames::valid(name, false, reason)) {
        fprintf(stderr, "cannot create '%s': %s\n", name.c_str(), reason.c_str());
        return 1;
    }
    std::map<std::string, std::string> wanted; // canonical name -> value
    for (const auto &p : props) {
        const std::string canon = SimProps::canonical(p.first);
        const bool ok = SimCrypto::isCryptoProp(canon) ? SimCrypto::validValue(canon, p.second, reason)
                                                       : SimProps::validateSet(p.first, p.second, false, reason);
        if (!ok) {
            fprintf(stderr, "cannot create '%s': %s\n", name.c_str(), reason.c_str());
            return 1;
        }
        wanted[canon] = p.second;
    }
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimPool *pool = root.pool(SimRoot::poolOf(name));
    if (!pool) {
        fprintf(stderr, "cannot create '%s': no such pool '%s'\n", name.c_str(), SimRoot::poolOf(name).c_str());
        return 1;
    }
    if (pool->dataset(name)) {
        fprintf(stderr, "cannot create '%s': dataset already exists\n", name.c_str());
        return 1;
    }
    std::vector<std::string> chain;
    for (std::string cur = name; !cur.empty() && !pool->dataset(cur); cur = SimNames::parentOf(cur))
        chain.insert(chain.begin(), cur);
    if (chain.size() > 1 && !parents) {
        fprintf(stderr, "cannot create '%s': parent does not exist\n", name.c_str());
        return 1;
    }
    // File systems made by -p on the way share the key of the nearest
    // existing ancestor, as the new one does unless it is given its own.
    SimDataset *ancestor = pool->dataset(SimNames::parentOf(chain.front()));
    SimCrypt crypt, between;
    std::map<std::string, std::string> inherited;
    if (!SimCrypto::setUpCreate(*pool, ancestor, 0, wanted, crypt, reason) ||
        (chain.size() > 1 && !SimCrypto::setUpCreate(*pool, ancestor, 0, inherited, between, reason))) {
        fprintf(stderr, "cannot create '%s': %s\n", name.c_str(), reason.c_str());
        return 1;
    }
    pool->txg++;
    for (const auto &dsName : chain) {
        SimDataset ds;
        ds.id = pool->allocateId();
        ds.name = dsName;
        ds.guid = SimRoot::newGuid();
        ds.createtxg = pool->txg;
        ds.creation = time(nullptr);
        ds.crypt = dsName == name ? crypt : between;
        if (ds.encrypted() && ds.crypt.rootId == 0)
            ds.crypt.rootId = ds.id; // a new encryption root
        if (dsName == name)
            for (const auto &p : wanted)
                ds.local[p.first] = p.second;
        if (!root.store(*pool, ds).create(error))
            return SimUsage::internal(error);
        pool->datasets.push_back(ds);
        pool->sortDatasets();
        SimDataset *added = pool->dataset(dsName);
        added->mounted = !noMount && mountable(root, *pool, *added);
    }
    if (!root.save(*pool, error))
        return SimUsage::internal(error);
    return 0;
}

int SimZfsSet::simPath(SimRoot &root, const std::vector<std::string> &args)
{
    if (args.size() != 1) {
        fputs("usage: zfs sim-path <filesystem>[@<snap>]\n", stderr);
        return 2;
    }
    std::string error;
    if (!root.open(false, error))
        return SimUsage::internal(error);
    SimRoot::Found f = root.find(args[0]);
    if (!f.ds || (SimNames::isSnapshot(args[0]) && !f.snap)) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", args[0].c_str());
        return 1;
    }
    SimDatasetStore store = root.store(*f.pool, *f.ds);
    printf("%s\n", (f.snap ? store.snapDataDir(f.snap->id) : store.liveDir()).c_str());
    return 0;
}

} // namespace zsim
