#include "simzpool.h"

#include "simargs.h"
#include "simfiles.h"
#include "simjson.h"
#include "simlistformat.h"
#include "simnames.h"
#include "simspace.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>
#include <ctime>
#include <map>

namespace zsim {

namespace {

struct PoolProp {
    const char *name;
    const char *column;
    bool right;
};

const std::vector<PoolProp> &poolProps()
{
    static const std::vector<PoolProp> props = {
        {"name", "NAME", false},        {"size", "SIZE", true},           {"allocated", "ALLOC", true},
        {"free", "FREE", true},         {"checkpoint", "CKPOINT", true},  {"expandsize", "EXPANDSZ", true},
        {"fragmentation", "FRAG", true}, {"capacity", "CAP", true},       {"dedupratio", "DEDUP", true},
        {"health", "HEALTH", false},    {"altroot", "ALTROOT", false},    {"guid", "GUID", true},
        {"readonly", "RDONLY", false},
    };
    return props;
}

std::string canonicalPoolProp(const std::string &name)
{
    static const std::map<std::string, std::string> aliases = {
        {"alloc", "allocated"}, {"frag", "fragmentation"}, {"cap", "capacity"},
        {"dedup", "dedupratio"}, {"expandsz", "expandsize"}, {"ckpoint", "checkpoint"}, {"rdonly", "readonly"},
    };
    auto a = aliases.find(name);
    const std::string canon = a == aliases.end() ? name : a->second;
    for (const auto &p : poolProps())
        if (canon == p.name)
            return canon;
    return std::string();
}

const PoolProp &poolProp(const std::string &canon)
{
    for (const auto &p : poolProps())
        if (canon == p.name)
            return p;
    return poolProps().front();
}

std::string poolValue(SimSpace &space, SimPool &pool, const std::string &prop, bool parsable)
{
    auto bytes = [&](uint64_t n) { return parsable ? std::to_string(n) : SimText::niceNum(n, false); };
    const uint64_t alloc = space.allocated(pool);
    if (prop == "name") return pool.name;
    if (prop == "size") return bytes(pool.size);
    if (prop == "allocated") return bytes(alloc);
    if (prop == "free") return bytes(pool.size > alloc ? pool.size - alloc : 0);
    if (prop == "checkpoint" || prop == "expandsize") return "-";
    if (prop == "fragmentation") return parsable ? "0" : "0%";
    if (prop == "capacity") {
        uint64_t cap = pool.size ? alloc * 100 / pool.size : 0;
        return parsable ? std::to_string(cap) : std::to_string(cap) + "%";
    }
    if (prop == "dedupratio") return parsable ? "1.00" : "1.00x";
    if (prop == "health") return "ONLINE";
    if (prop == "altroot") return "-";
    if (prop == "guid") return std::to_string(pool.guid);
    if (prop == "readonly") return "off";
    return "-";
}

} // namespace

std::string SimZpool::json(const std::vector<SimPoolRow> &rows, bool jsonInt, bool keyByGuid)
{
    SimJson j;
    j.beginObject();
    j.outputVersion("zpool list");
    j.key("pools");
    j.beginObject();
    for (const auto &r : rows) {
        j.key(keyByGuid ? r.guid : r.name);
        j.beginObject();
        j.key("name");
        j.string(r.name);
        j.key("type");
        j.string("POOL");
        j.key("state");
        j.string("ONLINE");
        j.key("pool_guid");
        j.maybeNumber(r.guid, jsonInt);
        j.key("txg");
        j.maybeNumber(r.txg, jsonInt);
        j.key("spa_version");
        j.maybeNumber("5000", jsonInt);
        j.key("zpl_version");
        j.maybeNumber("5", jsonInt);
        j.key("properties");
        j.beginObject();
        for (const auto &p : r.properties) {
            j.key(p.first);
            j.beginObject();
            j.key("value");
            j.maybeNumber(p.second, jsonInt);
            j.key("source");
            j.beginObject();
            j.key("type");
            j.string(p.first == "altroot" ? "DEFAULT" : "NONE");
            j.key("data");
            j.string("-");
            j.endObject();
            j.endObject();
        }
        j.endObject();
        j.endObject();
    }
    j.endObject();
    j.endObject();
    return j.text() + "\n";
}

int SimZpool::list(SimRoot &root, const std::vector<std::string> &args)
{
    enum { JsonInt = 1001, KeyGuid };
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("gHLpPvjo:T:", {{"json", 'j', false}, {"json-int", JsonInt, false},
                                     {"json-pool-key-guid", KeyGuid, false}}, error))
        return SimUsage::fail("zpool", "list", error);
    bool scripted = false, parsable = false, json = false, jsonInt = false, keyGuid = false;
    std::vector<std::string> columns = {"name", "size", "allocated", "free", "checkpoint", "expandsize",
                                        "fragmentation", "capacity", "dedupratio", "health", "altroot"};
    for (const auto &o : parser.options()) {
        switch (o.id) {
        case 'H': scripted = true; break;
        case 'p': parsable = true; break;
        case 'j': json = true; break;
        case JsonInt: jsonInt = parsable = true; break;
        case KeyGuid: keyGuid = true; break;
        case 'o':
            columns.clear();
            for (const auto &c : SimText::split(o.arg, ',')) {
                std::string canon = canonicalPoolProp(c);
                if (canon.empty())
                    return SimUsage::fail("zpool", "list", "property '" + c + "' is not a valid pool property");
                columns.push_back(canon);
            }
            break;
        }
    }
    if (jsonInt && !json)
        return SimUsage::fail("zpool", "list", "'--json-int' only works with '-j' option");
    if (!root.open(false, error))
        return SimUsage::internal(error);
    std::vector<SimPool *> selected;
    bool missing = false;
    for (const auto &name : parser.operands()) {
        SimPool *p = root.pool(name);
        if (!p) {
            fprintf(stderr, "cannot open '%s': no such pool\n", name.c_str());
            missing = true;
        } else {
            selected.push_back(p);
        }
    }
    if (parser.operands().empty())
        for (auto &p : root.pools())
            selected.push_back(&p);
    if (selected.empty()) {
        if (parser.operands().empty() && !scripted && !json)
            printf("no pools available\n");
        return missing ? 1 : 0;
    }
    SimSpace space(root);
    if (json) {
        std::vector<SimPoolRow> rows;
        for (auto *p : selected) {
            SimPoolRow r;
            r.name = p->name;
            r.guid = std::to_string(p->guid);
            r.txg = std::to_string(p->txg);
            for (const auto &c : columns)
                if (c != "name")
                    r.properties.push_back({c, poolValue(space, *p, c, parsable)});
            rows.push_back(r);
        }
        fputs(SimZpool::json(rows, jsonInt, keyGuid).c_str(), stdout);
        return 0;
    }
    std::vector<std::string> headers;
    std::vector<bool> right;
    std::vector<size_t> minWidth;
    for (const auto &c : columns) {
        headers.push_back(poolProp(c).column);
        right.push_back(poolProp(c).right);
        minWidth.push_back(poolProp(c).right ? 5 : 0);
    }
    std::vector<std::vector<std::string>> cells;
    for (auto *p : selected) {
        std::vector<std::string> row;
        for (const auto &c : columns)
            row.push_back(poolValue(space, *p, c, parsable));
        cells.push_back(row);
    }
    fputs(SimListFormat::table(headers, right, minWidth, cells, scripted).c_str(), stdout);
    return 0;
}

int SimZpool::create(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("fndo:O:m:R:t:", {}, error))
        return SimUsage::fail("zpool", "create", error);
    std::string mountpoint;
    for (const auto &o : parser.options())
        if (o.id == 'm')
            mountpoint = o.arg;
    const auto &ops = parser.operands();
    if (ops.size() != 2)
        return SimUsage::fail("zpool", "create",
                              ops.empty() ? "missing pool name argument" : "simulator form: zpool create NAME SIZE");
    const std::string name = ops[0];
    std::string reason;
    if (!SimNames::validComponent(name, reason) || !((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'))) {
        fprintf(stderr, "cannot create '%s': invalid pool name\n", name.c_str());
        return 1;
    }
    uint64_t size = 0;
    if (!SimText::parseSize(ops[1], size) || size < (64ull << 20)) {
        fprintf(stderr, "cannot create '%s': size '%s' is not a size of at least 64M\n", name.c_str(),
                ops[1].c_str());
        return 1;
    }
    if (!root.open(true, error) || !root.ensure(error))
        return SimUsage::internal(error);
    if (root.pool(name)) {
        fprintf(stderr, "cannot create '%s': pool already exists\n", name.c_str());
        return 1;
    }
    SimPool pool;
    pool.name = name;
    pool.size = size;
    pool.guid = SimRoot::newGuid();
    pool.txg = 4;
    pool.creation = time(nullptr);
    SimDataset ds;
    ds.id = pool.allocateId();
    ds.name = name;
    ds.guid = SimRoot::newGuid();
    ds.createtxg = 1;
    ds.creation = pool.creation;
    ds.mounted = mountpoint != "none" && mountpoint != "legacy";
    if (!mountpoint.empty())
        ds.local["mountpoint"] = mountpoint;
    pool.datasets.push_back(ds);
    if (!SimFiles::makeDirs(root.tmpDir(name), error) || !root.store(pool, ds).create(error) ||
        !root.save(pool, error))
        return SimUsage::internal(error);
    return 0;
}

int SimZpool::destroy(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("f", {}, error))
        return SimUsage::fail("zpool", "destroy", error);
    if (parser.operands().size() != 1)
        return SimUsage::fail("zpool", "destroy", "missing pool argument");
    const std::string name = parser.operands()[0];
    if (!root.open(true, error))
        return SimUsage::internal(error);
    if (!root.pool(name)) {
        fprintf(stderr, "cannot open '%s': no such pool\n", name.c_str());
        return 1;
    }
    SimFiles::makeWritable(root.poolDir(name));
    return SimFiles::removeTree(root.poolDir(name), error) ? 0 : SimUsage::internal(error);
}

} // namespace zsim
