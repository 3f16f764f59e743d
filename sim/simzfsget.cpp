#include "simzfsget.h"

#include "simargs.h"
#include "simlistformat.h"
#include "simselect.h"
#include "simtext.h"
#include "simusage.h"
#include "simzfslist.h"

#include <cstdio>
#include <set>

namespace zsim {

namespace {

std::string sourceWord(const SimValue &v)
{
    if (v.source == "NONE")
        return "none";
    if (v.source == "INHERITED")
        return "inherited";
    return SimProps::sourceText(v);
}

} // namespace

int SimZfsGet::run(SimRoot &root, const std::vector<std::string> &args)
{
    enum { JsonInt = 1001 };
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("rHpjd:o:t:s:", {{"json", 'j', false}, {"json-int", JsonInt, false}}, error))
        return SimUsage::fail("zfs", "get", error);
    SimSelect::Options sel;
    sel.snapshots = true;
    bool scripted = false, parsable = false, json = false, jsonInt = false;
    std::vector<std::string> fields = {"name", "property", "value", "source"};
    std::set<std::string> sources;
    for (const auto &o : parser.options()) {
        switch (o.id) {
        case 'r': sel.recurse = true; break;
        case 'd': {
            uint64_t d;
            if (!SimText::toU64(o.arg, d))
                return SimUsage::fail("zfs", "get", "invalid depth '" + o.arg + "'");
            sel.recurse = true;
            sel.depth = (int)d;
            break;
        }
        case 'H': scripted = true; break;
        case 'p': parsable = true; break;
        case 'j': json = true; break;
        case JsonInt: jsonInt = parsable = true; break;
        case 'o':
            fields.clear();
            for (const auto &f : SimText::split(o.arg, ',')) {
                if (f == "all") {
                    fields = {"name", "property", "value", "received", "source"};
                    break;
                }
                if (f != "name" && f != "property" && f != "value" && f != "received" && f != "source")
                    return SimUsage::fail("zfs", "get", "invalid column name '" + f + "'");
                fields.push_back(f);
            }
            break;
        case 't': {
            std::string bad;
            if (!SimZfsList::parseTypes(o.arg, sel.filesystems, sel.snapshots, bad))
                return SimUsage::fail("zfs", "get", "invalid type '" + bad + "'");
            break;
        }
        case 's':
            for (const auto &s : SimText::split(o.arg, ','))
                sources.insert(s);
            break;
        }
    }
    if (jsonInt && !json)
        return SimUsage::fail("zfs", "get", "'--json-int' only works with '-j' option");
    std::vector<std::string> operands = parser.operands();
    if (operands.empty())
        return SimUsage::fail("zfs", "get", "missing property argument");
    const std::string propArg = operands.front();
    operands.erase(operands.begin());
    std::vector<std::string> props;
    const bool all = propArg == "all";
    if (!all) {
        for (const auto &p : SimText::split(propArg, ',')) {
            std::string canon = SimProps::canonical(p);
            if (canon.empty())
                return SimUsage::fail("zfs", "get", "bad property list: invalid property '" + p + "'");
            props.push_back(canon);
        }
    }
    if (!root.open(false, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<SimNode> nodes;
    bool ok = SimSelect::select(root, operands, sel, nodes);
    SimSpace space(root);
    SimProps values(space);
    std::vector<SimListRow> rows;
    std::vector<std::vector<std::string>> cells;
    for (auto &n : nodes) {
        std::vector<std::string> names = props;
        if (all) {
            for (const auto &d : SimProps::all())
                if (std::string(d.name) != "name" && (n.snap ? d.onSnap : d.onFs) &&
                    // like zfs, `get all` shows the token only while there is one
                    (std::string(d.name) != "receive_resume_token" || n.ds->partial.active))
                    names.push_back(d.name);
            std::set<std::string> user;
            if (n.snap)
                for (const auto &kv : n.snap->props)
                    user.insert(kv.first);
            for (SimDataset *cur = n.ds; cur;) {
                for (const auto &kv : cur->local)
                    if (SimProps::isUserProp(kv.first))
                        user.insert(kv.first);
                for (const auto &kv : cur->received)
                    if (SimProps::isUserProp(kv.first))
                        user.insert(kv.first);
                std::string parent = cur->name.substr(0, cur->name.rfind('/'));
                cur = parent == cur->name ? nullptr : n.pool->dataset(parent);
            }
            names.insert(names.end(), user.begin(), user.end());
        }
        SimListRow row;
        row.name = n.name;
        row.type = n.snap ? "SNAPSHOT" : "FILESYSTEM";
        row.pool = n.pool->name;
        row.createtxg = std::to_string(n.snap ? n.snap->createtxg : n.ds->createtxg);
        if (n.snap) {
            row.dataset = n.ds->name;
            row.snapshotName = n.snap->name;
        }
        for (const auto &p : names) {
            SimValue v = values.value(*n.pool, *n.ds, n.snap, p, parsable);
            if (!sources.empty() && !sources.count(sourceWord(v)))
                continue;
            row.properties.push_back({p, v});
            std::vector<std::string> line;
            for (const auto &f : fields) {
                if (f == "name")
                    line.push_back(n.name);
                else if (f == "property")
                    line.push_back(p);
                else if (f == "value")
                    line.push_back(v.value);
                else if (f == "received") {
                    auto r = n.snap ? n.ds->received.end() : n.ds->received.find(p);
                    line.push_back(r == n.ds->received.end() ? "-" : r->second);
                } else
                    line.push_back(SimProps::sourceText(v));
            }
            cells.push_back(line);
        }
        rows.push_back(row);
    }
    if (json) {
        if (ok)
            fputs(SimListFormat::json("zfs get", rows, jsonInt).c_str(), stdout);
        return ok ? 0 : 1;
    }
    std::vector<std::string> headers;
    for (const auto &f : fields)
        headers.push_back(SimText::upper(f));
    fputs(SimListFormat::table(headers, std::vector<bool>(fields.size(), false),
                               std::vector<size_t>(), cells, scripted).c_str(), stdout);
    return ok ? 0 : 1;
}

} // namespace zsim
