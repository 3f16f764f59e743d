#include "simzfslist.h"

#include "simargs.h"
#include "simlistformat.h"
#include "simselect.h"
#include "simtext.h"
#include "simusage.h"
#include "simzfsbookmark.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

bool SimZfsList::parseTypes(const std::string &list, bool &filesystems, bool &snapshots, std::string &bad)
{
    bool bookmarks = false;
    return parseTypes(list, filesystems, snapshots, bookmarks, bad);
}

bool SimZfsList::parseTypes(const std::string &list, bool &filesystems, bool &snapshots, bool &bookmarks,
                            std::string &bad)
{
    filesystems = snapshots = bookmarks = false;
    for (const auto &t : SimText::split(list, ',')) {
        if (t == "filesystem" || t == "fs" || t == "volume" || t == "vol")
            filesystems = true;
        else if (t == "snapshot" || t == "snap")
            snapshots = true;
        else if (t == "all")
            filesystems = snapshots = bookmarks = true;
        else if (t == "bookmark")
            bookmarks = true;
        else {
            bad = t;
            return false;
        }
    }
    return true;
}

namespace {

struct SortKey {
    std::string prop;
    bool descending;
};

int compareValues(const std::string &prop, const std::string &a, const std::string &b)
{
    uint64_t x, y;
    if (SimProps::rightAligned(prop) && SimText::toU64(a, x) && SimText::toU64(b, y))
        return x < y ? -1 : x > y ? 1 : 0;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

} // namespace

int SimZfsList::run(SimRoot &root, const std::vector<std::string> &args)
{
    enum { JsonInt = 1001 };
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("rd:Hpjo:s:S:t:", {{"json", 'j', false}, {"json-int", JsonInt, false}}, error))
        return SimUsage::fail("zfs", "list", error);
    SimSelect::Options sel;
    bool scripted = false, parsable = false, json = false, jsonInt = false, typesGiven = false;
    std::vector<std::string> columns = {"name", "used", "available", "referenced", "mountpoint"};
    std::vector<SortKey> sorts;
    for (const auto &o : parser.options()) {
        switch (o.id) {
        case 'r': sel.recurse = true; break;
        case 'd': {
            uint64_t d;
            if (!SimText::toU64(o.arg, d))
                return SimUsage::fail("zfs", "list", "invalid depth '" + o.arg + "'");
            sel.recurse = true;
            sel.depth = (int)d;
            break;
        }
        case 'H': scripted = true; break;
        case 'p': parsable = true; break;
        case 'j': json = true; break;
        case JsonInt: jsonInt = parsable = true; break;
        case 'o': {
            columns.clear();
            for (const auto &c : SimText::split(o.arg, ',')) {
                std::string canon = SimProps::canonical(c);
                if (canon.empty())
                    return SimUsage::fail("zfs", "list", "bad property list: invalid property '" + c + "'");
                columns.push_back(canon);
            }
            break;
        }
        case 's':
        case 'S': {
            std::string canon = SimProps::canonical(o.arg);
            if (canon.empty())
                return SimUsage::fail("zfs", "list", "invalid property '" + o.arg + "'");
            sorts.push_back({canon, o.id == 'S'});
            break;
        }
        case 't': {
            std::string bad;
            if (!parseTypes(o.arg, sel.filesystems, sel.snapshots, sel.bookmarks, bad))
                return SimUsage::fail("zfs", "list", "invalid type '" + bad + "'");
            typesGiven = true;
            break;
        }
        }
    }
    if (jsonInt && !json)
        return SimUsage::fail("zfs", "list", "'--json-int' only works with '-j' option");
    const auto &operands = parser.operands();
    if (typesGiven && !sel.filesystems && (sel.snapshots || sel.bookmarks) && !operands.empty() && !sel.recurse) {
        sel.recurse = true;
        sel.depth = 1;
    }
    if (!root.open(false, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<SimNode> nodes;
    bool ok = SimSelect::select(root, operands, sel, nodes);
    SimSpace space(root);
    SimProps props(space);
    std::vector<std::vector<SimValue>> values;
    for (auto &n : nodes) {
        std::vector<SimValue> row;
        for (const auto &c : columns)
            row.push_back(n.bm ? SimZfsBookmark::value(*n.ds, *n.bm, c, parsable)
                               : props.value(*n.pool, *n.ds, n.snap, c, parsable));
        values.push_back(row);
    }
    if (!sorts.empty()) {
        std::vector<size_t> order(nodes.size());
        std::vector<std::vector<std::string>> keys(nodes.size());
        for (size_t i = 0; i < nodes.size(); i++) {
            order[i] = i;
            for (const auto &s : sorts)
                keys[i].push_back(nodes[i].bm ? SimZfsBookmark::value(*nodes[i].ds, *nodes[i].bm, s.prop, true).value
                                              : props.value(*nodes[i].pool, *nodes[i].ds, nodes[i].snap, s.prop, true).value);
        }
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            for (size_t k = 0; k < sorts.size(); k++) {
                int c = compareValues(sorts[k].prop, keys[a][k], keys[b][k]);
                if (c != 0)
                    return sorts[k].descending ? c > 0 : c < 0;
            }
            return SimSelect::lessByName(nodes[a], nodes[b]);
        });
        std::vector<SimNode> n2;
        std::vector<std::vector<SimValue>> v2;
        for (size_t i : order) {
            n2.push_back(nodes[i]);
            v2.push_back(values[i]);
        }
        nodes.swap(n2);
        values.swap(v2);
    }
    if (json) {
        if (ok) {
            std::vector<SimListRow> rows;
            for (size_t i = 0; i < nodes.size(); i++) {
                const SimNode &n = nodes[i];
                SimListRow r;
                r.name = n.name;
                r.type = n.bm ? "BOOKMARK" : n.snap ? "SNAPSHOT" : "FILESYSTEM";
                r.pool = n.pool->name;
                r.createtxg = std::to_string(n.bm ? n.bm->createtxg : n.snap ? n.snap->createtxg : n.ds->createtxg);
                if (n.snap) {
                    r.dataset = n.ds->name;
                    r.snapshotName = n.snap->name;
                }
                for (size_t c = 0; c < columns.size(); c++)
                    if (columns[c] != "name")
                        r.properties.push_back({columns[c], values[i][c]});
                rows.push_back(r);
            }
            fputs(SimListFormat::json("zfs list", rows, jsonInt).c_str(), stdout);
            if (rows.empty() && !scripted)
                fputs("no datasets available\n", stderr);
        }
        return ok ? 0 : 1;
    }
    std::vector<std::string> headers;
    std::vector<bool> right;
    std::vector<size_t> minWidth;
    for (const auto &c : columns) {
        headers.push_back(SimProps::column(c));
        right.push_back(SimProps::rightAligned(c));
        minWidth.push_back(SimProps::rightAligned(c) && c != "creation" ? 5 : 0);
    }
    std::vector<std::vector<std::string>> cells;
    for (const auto &row : values) {
        std::vector<std::string> line;
        for (const auto &v : row)
            line.push_back(v.value);
        cells.push_back(line);
    }
    fputs(SimListFormat::table(headers, right, minWidth, cells, scripted).c_str(), stdout);
    if (nodes.empty() && ok && !scripted)
        fputs("no datasets available\n", stderr);
    return ok ? 0 : 1;
}

} // namespace zsim
