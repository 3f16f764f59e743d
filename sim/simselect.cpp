#include "simselect.h"

#include "simnames.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace zsim {

namespace {

void addTree(SimPool &pool, SimDataset &ds, int depth, const SimSelect::Options &opt,
             std::vector<SimNode> &out)
{
    if (opt.filesystems)
        out.push_back(SimSelect::node(pool, ds, nullptr));
    if (!opt.recurse)
        return;
    const bool deeper = opt.depth < 0 || depth + 1 <= opt.depth;
    if (!deeper)
        return;
    if (opt.snapshots)
        for (auto &s : ds.snaps)
            out.push_back(SimSelect::node(pool, ds, &s));
    if (opt.bookmarks)
        for (auto &b : ds.bookmarks)
            out.push_back(SimSelect::node(pool, ds, b));
    const std::string prefix = ds.name + "/";
    for (auto *child : pool.descendants(ds.name))
        if (child->name.find('/', prefix.size()) == std::string::npos)
            addTree(pool, *child, depth + 1, opt, out);
}

} // namespace

SimNode SimSelect::node(SimPool &pool, SimDataset &ds, SimSnap *snap)
{
    SimNode n;
    n.pool = &pool;
    n.ds = &ds;
    n.snap = snap;
    n.name = snap ? ds.name + "@" + snap->name : ds.name;
    return n;
}

SimNode SimSelect::node(SimPool &pool, SimDataset &ds, SimBookmark &bm)
{
    SimNode n;
    n.pool = &pool;
    n.ds = &ds;
    n.bm = &bm;
    n.name = ds.name + "#" + bm.name;
    return n;
}

bool SimSelect::lessByName(const SimNode &a, const SimNode &b)
{
    if (a.bm || b.bm) {
        const std::string &x = a.bm ? a.name : a.ds->name;
        const std::string &y = b.bm ? b.name : b.ds->name;
        if (x != y)
            return x < y;
        return !a.bm && b.bm;
    }
    int c = a.ds->name.compare(b.ds->name);
    if (c != 0)
        return c < 0;
    if (!a.snap || !b.snap)
        return !a.snap && b.snap;
    return a.snap->createtxg < b.snap->createtxg;
}

bool SimSelect::select(SimRoot &root, const std::vector<std::string> &operands, const Options &opt,
                       std::vector<SimNode> &out)
{
    bool ok = true;
    out.clear();
    if (operands.empty()) {
        for (auto &pool : root.pools()) {
            SimDataset *top = pool.dataset(pool.name);
            if (top) {
                Options all = opt;
                all.recurse = true;
                if (!opt.recurse)
                    all.depth = -1;
                addTree(pool, *top, 0, all, out);
            }
        }
    }
    for (const auto &name : operands) {
        std::string reason;
        const size_t hash = name.find('#');
        if (opt.bookmarks && hash != std::string::npos) {
            SimRoot::Found f = root.find(name.substr(0, hash));
            SimBookmark *bm = f.ds ? f.ds->bookmark(name.substr(hash + 1)) : nullptr;
            if (!bm) {
                fprintf(stderr, "cannot open '%s': dataset does not exist\n", name.c_str());
                ok = false;
                continue;
            }
            out.push_back(node(*f.pool, *f.ds, *bm));
            continue;
        }
        if (!SimNames::valid(name, true, reason)) {
            fprintf(stderr, "cannot open '%s': %s\n", name.c_str(), reason.c_str());
            ok = false;
            continue;
        }
        SimRoot::Found f = root.find(name);
        if (!f.ds || (SimNames::isSnapshot(name) && !f.snap)) {
            fprintf(stderr, "cannot open '%s': dataset does not exist\n", name.c_str());
            ok = false;
            continue;
        }
        if (f.snap)
            out.push_back(node(*f.pool, *f.ds, f.snap));
        else
            addTree(*f.pool, *f.ds, 0, opt, out);
    }
    std::stable_sort(out.begin(), out.end(), lessByName);
    std::set<std::string> seen;
    std::vector<SimNode> unique;
    for (auto &n : out)
        if (seen.insert(n.name).second)
            unique.push_back(n);
    out.swap(unique);
    return ok;
}

} // namespace zsim
