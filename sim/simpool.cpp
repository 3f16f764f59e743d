#include "simpool.h"

#include "simfiles.h"
#include "simtext.h"

#include <algorithm>
#include <cstdlib>

namespace zsim {

SimSnap *SimDataset::snap(const std::string &shortName)
{
    for (auto &s : snaps)
        if (s.name == shortName)
            return &s;
    return nullptr;
}

SimSnap *SimDataset::snapByGuid(uint64_t g)
{
    for (auto &s : snaps)
        if (s.guid == g)
            return &s;
    return nullptr;
}

SimBookmark *SimDataset::bookmark(const std::string &shortName)
{
    for (auto &b : bookmarks)
        if (b.name == shortName)
            return &b;
    return nullptr;
}

namespace {

uint64_t num(const std::string &text)
{
    return strtoull(text.c_str(), nullptr, 10);
}

} // namespace

bool SimPool::load(const std::string &path, std::string &error)
{
    std::string text;
    if (!SimFiles::readAll(path, text, error))
        return false;
    datasets.clear();
    std::map<uint64_t, SimSnap *> snapIndex;
    for (const std::string &line : SimText::split(text, '\n')) {
        if (line.empty())
            continue;
        std::vector<std::string> f = SimText::split(line, '\t');
        for (auto &field : f)
            field = SimText::unescape(field);
        const std::string &kind = f[0];
        if (kind == "pool" && f.size() >= 7) {
            name = f[1];
            size = num(f[2]);
            guid = num(f[3]);
            txg = num(f[4]);
            nextId = num(f[5]);
            creation = (int64_t)num(f[6]);
        } else if (kind == "ds" && f.size() >= 7) {
            SimDataset ds;
            ds.id = num(f[1]);
            ds.name = f[2];
            ds.guid = num(f[3]);
            ds.createtxg = num(f[4]);
            ds.creation = (int64_t)num(f[5]);
            ds.mounted = f[6] == "1";
            datasets.push_back(ds);
        } else if (kind == "prop" && f.size() >= 5) {
            SimDataset *ds = datasetById(num(f[1]));
            if (ds && f[2] == "X")
                ds->inheritForced.insert(f[3]);
            else if (ds)
                (f[2] == "R" ? ds->received : ds->local)[f[3]] = f[4];
        } else if (kind == "snap" && f.size() >= 7) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            SimSnap s;
            s.id = num(f[2]);
            s.name = f[3];
            s.guid = num(f[4]);
            s.createtxg = num(f[5]);
            s.creation = (int64_t)num(f[6]);
            ds->snaps.push_back(s);
        } else if (kind == "partial" && f.size() >= 9) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            SimPartial &p = ds->partial;
            p.active = true;
            p.newfs = f[2] == "1";
            p.object = num(f[3]);
            p.offset = num(f[4]);
            p.bytes = num(f[5]);
            p.toguid = num(f[6]);
            p.fromguid = num(f[7]);
            p.toname = f[8];
            p.raw = f.size() >= 10 && f[9] == "1";
        } else if (kind == "crypt" && f.size() >= 7) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            SimCrypt &c = ds->crypt;
            c.suite = f[2];
            c.keyformat = f[3];
            c.rootId = num(f[4]);
            c.keyDigest = f[5];
            c.keyLoaded = f[6] == "1";
        } else if (kind == "bmark" && f.size() >= 7) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            SimBookmark b;
            b.id = num(f[2]);
            b.name = f[3];
            b.guid = num(f[4]);
            b.createtxg = num(f[5]);
            b.creation = (int64_t)num(f[6]);
            b.ivset = f.size() >= 8 ? num(f[7]) : 0;
            ds->bookmarks.push_back(b);
        } else if (kind == "hold" && f.size() >= 5) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            for (auto &s : ds->snaps)
                if (s.id == num(f[2]))
                    s.holds.push_back({f[3], (int64_t)num(f[4])});
        } else if (kind == "sprop" && f.size() >= 5) {
            SimDataset *ds = datasetById(num(f[1]));
            if (!ds)
                continue;
            for (auto &s : ds->snaps)
                if (s.id == num(f[2]))
                    s.props[f[3]] = f[4];
        }
    }
    if (name.empty()) {
        error = "corrupt pool metadata " + path;
        return false;
    }
    sortDatasets();
    return true;
}

bool SimPool::save(const std::string &path, std::string &error) const
{
    auto rec = [](std::initializer_list<std::string> fields) {
        std::string line;
        bool first = true;
        for (const auto &f : fields) {
            if (!first)
                line += '\t';
            line += SimText::escape(f);
            first = false;
        }
        return line + "\n";
    };
    std::string out = rec({"pool", name, std::to_string(size), std::to_string(guid),
                           std::to_string(txg), std::to_string(nextId), std::to_string(creation)});
    for (const auto &ds : datasets) {
        std::string id = std::to_string(ds.id);
        out += rec({"ds", id, ds.name, std::to_string(ds.guid), std::to_string(ds.createtxg),
                    std::to_string(ds.creation), ds.mounted ? "1" : "0"});
        for (const auto &p : ds.local)
            out += rec({"prop", id, "L", p.first, p.second});
        for (const auto &p : ds.received)
            out += rec({"prop", id, "R", p.first, p.second});
        for (const auto &p : ds.inheritForced)
            out += rec({"prop", id, "X", p, ""});
        if (ds.partial.active) {
            const SimPartial &p = ds.partial;
            out += rec({"partial", id, p.newfs ? "1" : "0", std::to_string(p.object), std::to_string(p.offset),
                        std::to_string(p.bytes), std::to_string(p.toguid), std::to_string(p.fromguid), p.toname,
                        p.raw ? "1" : "0"});
        }
        if (ds.encrypted()) {
            const SimCrypt &c = ds.crypt;
            out += rec({"crypt", id, c.suite, c.keyformat, std::to_string(c.rootId), c.keyDigest,
                        c.keyLoaded ? "1" : "0"});
        }
        for (const auto &s : ds.snaps) {
            out += rec({"snap", id, std::to_string(s.id), s.name, std::to_string(s.guid),
                        std::to_string(s.createtxg), std::to_string(s.creation)});
            for (const auto &h : s.holds)
                out += rec({"hold", id, std::to_string(s.id), h.tag, std::to_string(h.time)});
            for (const auto &p : s.props)
                out += rec({"sprop", id, std::to_string(s.id), p.first, p.second});
        }
        for (const auto &b : ds.bookmarks)
            out += rec({"bmark", id, std::to_string(b.id), b.name, std::to_string(b.guid), std::to_string(b.createtxg),
                        std::to_string(b.creation), std::to_string(b.ivset)});
    }
    return SimFiles::writeAtomic(path, out, error);
}

SimDataset *SimPool::dataset(const std::string &fullName)
{
    for (auto &ds : datasets)
        if (ds.name == fullName)
            return &ds;
    return nullptr;
}

SimDataset *SimPool::datasetById(uint64_t id)
{
    for (auto &ds : datasets)
        if (ds.id == id)
            return &ds;
    return nullptr;
}

std::vector<SimDataset *> SimPool::descendants(const std::string &fullName)
{
    std::vector<SimDataset *> out;
    const std::string prefix = fullName + "/";
    for (auto &ds : datasets)
        if (SimText::startsWith(ds.name, prefix))
            out.push_back(&ds);
    return out;
}

void SimPool::sortDatasets()
{
    std::sort(datasets.begin(), datasets.end(),
              [](const SimDataset &a, const SimDataset &b) { return a.name < b.name; });
    for (auto &ds : datasets) {
        std::stable_sort(ds.snaps.begin(), ds.snaps.end(),
                         [](const SimSnap &a, const SimSnap &b) { return a.createtxg < b.createtxg; });
        std::sort(ds.bookmarks.begin(), ds.bookmarks.end(),
                  [](const SimBookmark &a, const SimBookmark &b) { return a.name < b.name; });
    }
}

} // namespace zsim
