#include "simzfskey.h"

#include "simargs.h"
#include "simcrypto.h"
#include "simusage.h"

#include <cstdio>

namespace zsim {

namespace {

// The datasets whose key `ds` (an encryption root) is.
bool sharesKey(SimPool &pool, SimDataset &d, SimDataset &root)
{
    return SimCrypto::root(pool, d) == &root;
}

} // namespace

int SimZfsKey::load(SimRoot &root, const std::vector<std::string> &args)
{
    return run(root, args, true);
}

int SimZfsKey::unload(SimRoot &root, const std::vector<std::string> &args)
{
    return run(root, args, false);
}

int SimZfsKey::run(SimRoot &root, const std::vector<std::string> &args, bool loading)
{
    const std::string command = loading ? "load-key" : "unload-key";
    SimArgs parser(args);
    std::string error;
    if (!parser.parse(loading ? "anrL:" : "ar", {}, error))
        return SimUsage::fail("zfs", command, error);
    bool all = false, recursive = false, noop = false;
    std::string keylocation;
    for (const auto &o : parser.options()) {
        all |= o.id == 'a';
        recursive |= o.id == 'r';
        noop |= o.id == 'n';
        if (o.id == 'L')
            keylocation = o.arg;
    }
    const auto &ops = parser.operands();
    if (!all && ops.size() != 1)
        return SimUsage::fail("zfs", command, ops.empty() ? "Missing dataset argument or -a option" : "too many arguments");
    if (all && !ops.empty())
        return SimUsage::fail("zfs", command, "Cannot specify dataset with -a option");
    if ((all || recursive) && !keylocation.empty() && keylocation != "prompt")
        return SimUsage::fail("zfs", command, "alternate keylocation may only be 'prompt' with -r or -a");
    if (!root.open(true, error))
        return SimUsage::internal(error);

    std::vector<std::pair<SimPool *, SimDataset *>> targets;
    if (all) {
        for (auto &pool : root.pools())
            for (auto &d : pool.datasets)
                targets.push_back({&pool, &d});
    } else {
        SimRoot::Found f = root.find(ops[0]);
        if (!f.ds || f.snap) {
            fprintf(stderr, "cannot open '%s': dataset does not exist\n", ops[0].c_str());
            return 1;
        }
        targets.push_back({f.pool, f.ds});
        if (recursive)
            for (auto *d : f.pool->descendants(f.ds->name))
                targets.push_back({f.pool, d});
    }
    int rc = 0;
    uint64_t tried = 0, done = 0;
    for (auto &t : targets) {
        SimPool &pool = *t.first;
        SimDataset &ds = *t.second;
        if (all || recursive) {
            // Only encryption roots whose key is not yet in the wanted state.
            if (SimCrypto::root(pool, ds) != &ds || ds.crypt.keyLoaded == loading)
                continue;
        }
        tried++;
        if (loading ? loadOne(pool, ds, keylocation, noop) : unloadOne(pool, ds))
            done++;
        else
            rc = 1;
    }
    if (!noop)
        for (auto &pool : root.pools())
            if (!root.save(pool, error))
                return SimUsage::internal(error);
    if (all || recursive)
        printf("%llu / %llu key(s) successfully %s\n", (unsigned long long)done, (unsigned long long)tried,
               loading ? (noop ? "verified" : "loaded") : "unloaded");
    return rc;
}

bool SimZfsKey::loadOne(SimPool &pool, SimDataset &ds, const std::string &keylocation, bool noop)
{
    const char *errbuf = "Key load error";
    SimDataset *r = SimCrypto::root(pool, ds);
    if (!r) {
        fprintf(stderr, "%s: '%s' is not encrypted.\n", errbuf, ds.name.c_str());
        return false;
    }
    if (r != &ds) {
        fprintf(stderr, "%s: Keys must be loaded for encryption root of '%s' (%s).\n", errbuf, ds.name.c_str(),
                r->name.c_str());
        return false;
    }
    if (!noop && ds.crypt.keyLoaded) {
        fprintf(stderr, "%s: Key already loaded for '%s'.\n", errbuf, ds.name.c_str());
        return false;
    }
    auto l = ds.local.find("keylocation");
    const std::string location = !keylocation.empty() ? keylocation : l != ds.local.end() ? l->second : "prompt";
    std::string digest, reason;
    if (!SimCrypto::readKey(ds.crypt.keyformat, location, false, digest, reason)) {
        fprintf(stderr, "%s: %s\n", errbuf, reason.c_str());
        return false;
    }
    if (digest != ds.crypt.keyDigest) {
        fprintf(stderr, "%s: Incorrect key provided for '%s'.\n", errbuf, ds.name.c_str());
        return false;
    }
    if (!noop)
        ds.crypt.keyLoaded = true;
    return true;
}

bool SimZfsKey::unloadOne(SimPool &pool, SimDataset &ds)
{
    const char *errbuf = "Key unload error";
    SimDataset *r = SimCrypto::root(pool, ds);
    if (!r) {
        fprintf(stderr, "%s: '%s' is not encrypted.\n", errbuf, ds.name.c_str());
        return false;
    }
    if (r != &ds) {
        fprintf(stderr, "%s: Keys must be unloaded for encryption root of '%s' (%s).\n", errbuf, ds.name.c_str(),
                r->name.c_str());
        return false;
    }
    if (!ds.crypt.keyLoaded) {
        fprintf(stderr, "%s: Key already unloaded for '%s'.\n", errbuf, ds.name.c_str());
        return false;
    }
    for (auto &d : pool.datasets)
        if (d.mounted && sharesKey(pool, d, ds)) {
            fprintf(stderr, "%s: '%s' is busy.\n", errbuf, ds.name.c_str());
            return false;
        }
    ds.crypt.keyLoaded = false;
    return true;
}

} // namespace zsim
