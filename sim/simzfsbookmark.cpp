#include "simzfsbookmark.h"

#include "simargs.h"
#include "simnames.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>

namespace zsim {

uint64_t SimZfsBookmark::ivsetOf(const SimDataset &ds, const SimSnap &snap)
{
    if (!ds.encrypted())
        return 0;
    // Any fixed mixing will do: what matters is that it follows the guid.
    const uint64_t mixed = snap.guid * 0x9E3779B97F4A7C15ULL ^ 0x5bd1e995ULL;
    return mixed == 0 ? 1 : mixed;
}

SimBookmark *SimZfsBookmark::find(SimRoot &root, const std::string &name, SimPool **pool, SimDataset **ds)
{
    const size_t hash = name.find('#');
    if (hash == std::string::npos)
        return nullptr;
    SimRoot::Found f = root.find(name.substr(0, hash));
    if (!f.ds)
        return nullptr;
    if (pool)
        *pool = f.pool;
    if (ds)
        *ds = f.ds;
    return f.ds->bookmark(name.substr(hash + 1));
}

SimValue SimZfsBookmark::value(const SimDataset &ds, const SimBookmark &bm, const std::string &prop, bool parsable)
{
    SimValue v;
    v.value = "-";
    if (prop == "name")
        v.value = ds.name + "#" + bm.name;
    else if (prop == "type")
        v.value = "bookmark";
    else if (prop == "guid")
        v.value = std::to_string(bm.guid);
    else if (prop == "createtxg")
        v.value = std::to_string(bm.createtxg);
    else if (prop == "creation")
        v.value = parsable ? std::to_string(bm.creation) : SimText::creationDate(bm.creation);
    return v;
}

int SimZfsBookmark::bookmark(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("", {}, error))
        return SimUsage::fail("zfs", "bookmark", error);
    const auto &ops = parser.operands();
    if (ops.empty())
        return SimUsage::fail("zfs", "bookmark", "missing source argument");
    if (ops.size() < 2)
        return SimUsage::fail("zfs", "bookmark", "missing bookmark argument");
    std::string source = ops[0];
    std::string bookname = ops[1];
    if (source.find_first_of("@#") == std::string::npos)
        return SimUsage::fail("zfs", "bookmark", "invalid source name '" + source + "': must contain a '@' or '#'");
    if (bookname.find('#') == std::string::npos)
        return SimUsage::fail("zfs", "bookmark", "invalid bookmark name '" + bookname + "': must contain a '#'");
    // One of the two may be short; it takes the other's dataset.
    const bool sourceShort = source.find_first_of("@#") == 0;
    const bool bookShort = bookname.find('#') == 0;
    if (sourceShort && bookShort) {
        fputs("either source or bookmark must be specified as full dataset paths", stderr);
        return SimUsage::fail("zfs", "bookmark", "");
    }
    if (sourceShort)
        source = bookname.substr(0, bookname.find('#')) + source;
    if (bookShort)
        bookname = source.substr(0, source.find_first_of("@#")) + bookname;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    // zfs opens the source first; a missing one ends in the usage text.
    const bool fromSnapshot = source[source.find_first_of("@#")] == '@';
    SimPool *pool = nullptr;
    SimDataset *ds = nullptr;
    SimSnap *snap = nullptr;
    SimBookmark *fromBm = nullptr;
    if (fromSnapshot) {
        SimRoot::Found f = root.find(source);
        pool = f.pool;
        ds = f.ds;
        snap = f.snap;
    } else {
        fromBm = find(root, source, &pool, &ds);
    }
    if (!snap && !fromBm) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", source.c_str());
        return SimUsage::fail("zfs", "bookmark", "");
    }
    const std::string errbuf = "cannot create bookmark '" + bookname + "': ";
    const std::string target = bookname.substr(0, bookname.find('#'));
    const std::string shortName = bookname.substr(bookname.find('#') + 1);
    std::string reason;
    if (SimRoot::poolOf(target) != pool->name) {
        fprintf(stderr, "%sbookmark is in a different pool\n", errbuf.c_str());
        return 1;
    }
    if (target != ds->name) {
        fprintf(stderr, "%ssource is not an ancestor of the new bookmark's dataset\n", errbuf.c_str());
        return 1;
    }
    if (shortName.empty() || shortName.find_first_of("@#/") != std::string::npos ||
        !SimNames::validComponent(shortName, reason)) {
        fprintf(stderr, "%sinvalid argument\n", errbuf.c_str());
        return 1;
    }
    if (ds->bookmark(shortName)) {
        fprintf(stderr, "%sbookmark exists\n", errbuf.c_str());
        return 1;
    }
    SimBookmark bm;
    bm.id = pool->allocateId();
    bm.name = shortName;
    SimDatasetStore store = root.store(*pool, *ds);
    if (snap) {
        bm.guid = snap->guid;
        bm.createtxg = snap->createtxg;
        bm.creation = snap->creation;
        bm.ivset = ivsetOf(*ds, *snap);
        if (!store.keepManifest(snap->id, bm.id, error))
            return SimUsage::internal(error);
    } else {
        const uint64_t fromId = fromBm->id;
        bm.guid = fromBm->guid;
        bm.createtxg = fromBm->createtxg;
        bm.creation = fromBm->creation;
        bm.ivset = fromBm->ivset;
        if (!store.copyKeptManifest(fromId, bm.id, error))
            return SimUsage::internal(error);
    }
    ds->bookmarks.push_back(bm);
    pool->sortDatasets();
    pool->txg++;
    return root.save(*pool, error) ? 0 : SimUsage::internal(error);
}

int SimZfsBookmark::destroy(SimRoot &root, const std::string &name)
{
    std::string error;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimPool *pool = nullptr;
    SimDataset *ds = nullptr;
    SimBookmark *bm = find(root, name, &pool, &ds);
    if (!bm) {
        fprintf(stderr, "bookmark '%s' does not exist.\n", name.c_str());
        return 1;
    }
    const uint64_t id = bm->id;
    if (!root.store(*pool, *ds).dropManifest(id, error))
        return SimUsage::internal(error);
    for (size_t i = 0; i < ds->bookmarks.size(); i++)
        if (ds->bookmarks[i].id == id) {
            ds->bookmarks.erase(ds->bookmarks.begin() + (long)i);
            break;
        }
    pool->txg++;
    return root.save(*pool, error) ? 0 : SimUsage::internal(error);
}

} // namespace zsim
