#include "simzfsholds.h"

#include "simargs.h"
#include "simlistformat.h"
#include "simnames.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>
#include <ctime>

namespace zsim {

namespace {

// The snapshot and, with -r, the same-named snapshots of every descendant.
std::vector<std::pair<SimDataset *, SimSnap *>> expand(SimRoot::Found &f, const std::string &snapName,
                                                       bool recursive)
{
    std::vector<std::pair<SimDataset *, SimSnap *>> out;
    std::vector<SimDataset *> tree = {f.ds};
    if (recursive)
        for (auto *d : f.pool->descendants(f.ds->name))
            tree.push_back(d);
    for (auto *d : tree)
        if (SimSnap *s = d->snap(snapName))
            out.push_back({d, s});
    return out;
}

// Looks up the snapshot a hold or release names; prints zfs' complaint and
// returns false when it is no snapshot name or does not exist.
bool findSnapshot(SimRoot &root, const std::string &name, const char *action, SimRoot::Found &f)
{
    if (!SimNames::isSnapshot(name)) {
        fprintf(stderr, "'%s' is not a snapshot\n", name.c_str());
        return false;
    }
    f = root.find(name);
    if (!f.ds) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", SimNames::datasetOf(name).c_str());
        return false;
    }
    if (!f.snap) {
        fprintf(stderr, "%s '%s': dataset does not exist\n", action, name.c_str());
        return false;
    }
    return true;
}

// Parses the options; on a usage error `rc` is the exit status to return.
bool parseFlags(const char *optstring, const char *cmd, SimArgs &parser, bool &recursive, int &rc)
{
    std::string error;
    if (!parser.parse(optstring, {}, error)) {
        rc = SimUsage::fail("zfs", cmd, error);
        return false;
    }
    recursive = false;
    for (const auto &o : parser.options())
        recursive |= o.id == 'r';
    return true;
}

} // namespace

std::string SimZfsHolds::format(const std::vector<SimHoldLine> &lines, bool scripted, bool parsable)
{
    std::vector<std::vector<std::string>> cells;
    for (const auto &l : lines)
        cells.push_back({l.snapshot, l.tag, parsable ? std::to_string(l.time) : SimText::holdDate(l.time)});
    return SimListFormat::table({"NAME", "TAG", "TIMESTAMP"}, {false, false, false}, {}, cells, scripted);
}

int SimZfsHolds::holds(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    bool recursive = false;
    int rc = 0;
    if (!parseFlags("rHp", "holds", parser, recursive, rc))
        return rc;
    bool scripted = false, parsable = false;
    for (const auto &o : parser.options()) {
        scripted |= o.id == 'H';
        parsable |= o.id == 'p';
    }
    const auto &ops = parser.operands();
    if (ops.empty())
        return SimUsage::fail("zfs", "holds", "missing snapshot argument");
    for (const auto &name : ops)
        if (!SimNames::isSnapshot(name))
            return SimUsage::fail("zfs", "holds", "'" + name + "' is not a snapshot");
    std::string error;
    if (!root.open(false, error))
        return SimUsage::internal(error);
    std::vector<SimHoldLine> lines;
    size_t found = 0;
    for (const auto &name : ops) {
        SimRoot::Found f = root.find(name);
        if (!f.ds || !f.snap) {
            fprintf(stderr, "cannot open '%s': dataset does not exist\n", name.c_str());
            rc = 1;
            continue;
        }
        for (auto &v : expand(f, f.snap->name, recursive)) {
            found++;
            for (const auto &h : v.second->holds)
                lines.push_back({v.first->name + "@" + v.second->name, h.tag, h.time});
        }
    }
    if (found == 0) {
        fputs("no datasets available\n", stderr);
        return 1;
    }
    fputs(format(lines, scripted, parsable).c_str(), stdout);
    return rc;
}

int SimZfsHolds::hold(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    bool recursive = false;
    int rc = 0;
    if (!parseFlags("r", "hold", parser, recursive, rc))
        return rc;
    const auto &ops = parser.operands();
    if (ops.size() < 2)
        return SimUsage::fail("zfs", "hold", ops.empty() ? "missing tag argument" : "missing snapshot argument");
    const std::string tag = ops[0];
    if (!tag.empty() && tag[0] == '.')
        return SimUsage::fail("zfs", "hold", "tag may not start with '.'");
    std::string error;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    const int64_t now = time(nullptr);
    for (size_t i = 1; i < ops.size(); i++) {
        SimRoot::Found f;
        if (!findSnapshot(root, ops[i], "cannot hold snapshot", f)) {
            rc = 1;
            continue;
        }
        auto targets = expand(f, f.snap->name, recursive);
        bool clash = false;
        for (auto &t : targets)
            for (const auto &h : t.second->holds)
                if (h.tag == tag) {
                    fprintf(stderr, "cannot hold snapshot '%s@%s': tag already exists on this dataset\n",
                            t.first->name.c_str(), t.second->name.c_str());
                    clash = true;
                }
        if (clash) {
            rc = 1;
            continue;
        }
        for (auto &t : targets)
            t.second->holds.push_back({tag, now});
        f.pool->txg++;
        if (!root.save(*f.pool, error))
            return SimUsage::internal(error);
    }
    return rc;
}

int SimZfsHolds::release(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    bool recursive = false;
    int rc = 0;
    if (!parseFlags("r", "release", parser, recursive, rc))
        return rc;
    const auto &ops = parser.operands();
    if (ops.size() < 2)
        return SimUsage::fail("zfs", "release", ops.empty() ? "missing tag argument" : "missing snapshot argument");
    const std::string tag = ops[0];
    std::string error;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    for (size_t i = 1; i < ops.size(); i++) {
        const std::string &name = ops[i];
        SimRoot::Found f;
        if (!findSnapshot(root, name, "cannot release hold from snapshot", f)) {
            rc = 1;
            continue;
        }
        bool released = false;
        for (auto &t : expand(f, f.snap->name, recursive)) {
            auto &hs = t.second->holds;
            for (auto it = hs.begin(); it != hs.end(); ++it)
                if (it->tag == tag) {
                    hs.erase(it);
                    released = true;
                    break;
                }
        }
        if (!released) {
            fprintf(stderr, "cannot release hold from snapshot '%s': no such tag on this dataset\n", name.c_str());
            rc = 1;
            continue;
        }
        f.pool->txg++;
        if (!root.save(*f.pool, error))
            return SimUsage::internal(error);
    }
    return rc;
}

} // namespace zsim
