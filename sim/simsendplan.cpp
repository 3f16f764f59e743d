#include "simsendplan.h"

#include "simcrypto.h"
#include "simnames.h"
#include "simstreamformat.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>
#include <map>

namespace zsim {

namespace {

std::string notFound(const std::string &name)
{
    return "cannot open '" + name + "': dataset does not exist\n";
}

} // namespace

bool SimSendPlan::addStream(SimRoot &root, SimPool &pool, SimDataset &ds, SimSnap *from, SimSnap *to,
                            bool withProps, std::string &error, const SimBookmark *fromBookmark)
{
    SimSubstream s;
    s.pool = &pool;
    s.ds = &ds;
    s.from = from;
    s.fromBookmark = fromBookmark;
    s.to = to;
    SimDatasetStore store = root.store(pool, ds);
    std::vector<SimEntry> toMan, fromMan;
    if (!store.manifest(to->id, toMan, error) || (from && !store.manifest(from->id, fromMan, error)) ||
        (fromBookmark && !store.readManifest(store.bookmarkManifest(fromBookmark->id), fromMan, error)))
        return false;
    std::map<std::string, const SimEntry *> base;
    for (const auto &e : fromMan)
        base[e.path] = &e;
    std::map<std::string, bool> inTo;
    for (const auto &e : toMan) {
        inTo[e.path] = true;
        auto b = base.find(e.path);
        bool same = b != base.end() && b->second->type == e.type;
        // A file is the same when it is the same inode. A bookmark's list
        // outlives its snapshot's files: a later snapshot holds unchanged
        // files as new copies (with their size and time), and freed inodes
        // may be reused, so there size and time decide.
        if (same && e.type == 'f')
            same = fromBookmark ? b->second->size == e.size && b->second->mtime == e.mtime : b->second->ino == e.ino;
        if (same && e.type == 'l')
            same = b->second->target == e.target;
        if (same && e.type == 'd')
            same = b->second->mode == e.mode && b->second->mtime == e.mtime;
        if (!same)
            s.entries.push_back(e);
        if (b != base.end() && b->second->type != e.type)
            s.frees.push_back(e.path);
    }
    for (const auto &e : fromMan)
        if (!inTo.count(e.path))
            s.frees.push_back(e.path);
    SimStreamFormat::Lines lines = {
        {"fs", ds.name},
        {"tosnap", to->name},
        {"toguid", std::to_string(to->guid)},
        {"fromsnap", from ? from->name : fromBookmark ? fromBookmark->name : ""},
        {"fromguid", std::to_string(from ? from->guid : fromBookmark ? fromBookmark->guid : 0)},
        {"creation", std::to_string(to->creation)},
    };
    if (rawFor(ds)) {
        SimDataset *root = SimCrypto::root(pool, ds);
        lines.push_back({"raw", "1"});
        lines.push_back({"crypt", ds.crypt.suite, ds.crypt.keyformat, root->crypt.keyDigest, root->name});
    }
    if (withProps) {
        // keylocation belongs to this machine's key; a raw receive sets "prompt".
        for (const auto &p : ds.received)
            if (!ds.local.count(p.first) && !ds.inheritForced.count(p.first) && p.first != "keylocation")
                lines.push_back({"prop", p.first, p.second});
        for (const auto &p : ds.local)
            if (p.first != "keylocation")
                lines.push_back({"prop", p.first, p.second});
        // The snapshot's own user properties travel with it.
        for (const auto &p : to->props)
            lines.push_back({"snapprop", p.first, p.second});
    }
    s.begin = SimStreamFormat::encodeLines(lines);
    const uint64_t h = SimStreamFormat::kHeaderSize;
    s.size = h + s.begin.size() + h + SimStreamFormat::kDigestSize;
    for (const auto &path : s.frees)
        s.size += h + SimStreamFormat::entryLength('x', 0, path, "");
    for (const auto &e : s.entries)
        s.size += h + SimStreamFormat::entryLength(e.type, e.size, e.path, e.target);
    m_streams.push_back(std::move(s));
    return true;
}

bool SimSendPlan::build(SimRoot &root, const SimSendRequest &req, std::string &message, int &status)
{
    status = 1;
    m_streams.clear();
    m_warnings.clear();
    m_package = req.replicate || req.intermediates;
    m_raw = req.raw;
    const std::string &name = req.snapshot;
    if (!SimNames::isSnapshot(name)) {
        message = "Error: The argument '" + name + "' is not a snapshot; sending a file system needs a snapshot\n";
        return false;
    }
    SimRoot::Found f = root.find(name);
    if (!f.ds || !f.snap) {
        message = notFound(name);
        return false;
    }
    const std::string fsName = f.ds->name;
    SimSnap *fromSnap = nullptr;
    std::string fromShort;
    if (!req.from.empty()) {
        std::string from = req.from;
        if (from.find('#') != std::string::npos)
            return buildFromBookmark(root, req, f, message);
        if (from[0] == '@') {
            fromShort = from.substr(1);
        } else if (from.find('@') == std::string::npos) {
            if (!m_package)
                message += "Warning: incremental source didn't specify type, assuming snapshot. "
                           "Use '@' or '#' prefix to avoid ambiguity.\n";
            fromShort = from;
        } else {
            if (SimNames::datasetOf(from) != fsName) {
                fputs(message.c_str(), stderr);
                message.clear();
                status = SimUsage::fail("zfs", "send", "incremental source must be in same filesystem");
                return false;
            }
            fromShort = SimNames::snapOf(from);
        }
        fromSnap = f.ds->snap(fromShort);
        if (!fromSnap) {
            message += notFound(fsName + "@" + fromShort);
            return false;
        }
        const bool earlier = fromSnap->createtxg < f.snap->createtxg ||
                             (m_package && fromSnap == f.snap);
        if (!earlier) {
            message += "warning: cannot send '" + name + "': not an earlier snapshot from the same fs\n";
            return false;
        }
    }
    std::string error;
    std::vector<SimDataset *> sentTree = {f.ds};
    if (req.replicate)
        for (auto *d : f.pool->descendants(fsName))
            sentTree.push_back(d);
    const std::string refusal = plainRefusal(*f.pool, sentTree, name, req.props || req.replicate);
    if (!refusal.empty()) {
        message += refusal;
        return false;
    }
    if (!m_package) {
        if (!addStream(root, *f.pool, *f.ds, fromSnap, f.snap, req.props, error)) {
            message += "internal error: " + error + "\n";
            return false;
        }
        return true;
    }

    // Package: every file system of the tree, parent first, each following
    // zfs' walk over its snapshots in creation order.
    std::vector<SimDataset *> tree = {f.ds};
    if (req.replicate)
        for (auto *d : f.pool->descendants(fsName))
            tree.push_back(d);
    const bool doAll = req.intermediates || (req.replicate && fromShort.empty());
    SimStreamFormat::Lines header = {
        {"top", fsName},
        {"tosnap", f.snap->name},
        {"fromsnap", fromShort},
        {"recursive", req.replicate ? "1" : "0"},
    };
    for (auto *d : tree) {
        header.push_back({"fs", d->name, std::to_string(d->guid)});
        for (const auto &s : d->snaps)
            header.push_back({"snap", d->name, s.name, std::to_string(s.guid)});
    }
    m_packageHeader = SimStreamFormat::encodeLines(header);
    const std::string toShort = f.snap->name;
    for (auto *d : tree) {
        bool seenFrom = fromShort.empty() || !d->snap(fromShort);
        bool seenTo = false;
        SimSnap *prev = nullptr;
        if (!d->snap(toShort)) {
            m_warnings.push_back("WARNING: could not send " + d->name + "@" + toShort + ": does not exist\n");
            continue;
        }
        for (auto &s : d->snaps) {
            if (!seenFrom && s.name == fromShort) {
                seenFrom = true;
                prev = &s;
                continue;
            }
            if (seenTo || !seenFrom)
                continue;
            const bool isTo = s.name == toShort;
            if (isTo)
                seenTo = true;
            if (!doAll && !isTo)
                continue;
            if (!addStream(root, *f.pool, *d, prev, &s, req.props || req.replicate, error)) {
                message += "internal error: " + error + "\n";
                return false;
            }
            prev = &s;
        }
    }
    return true;
}

bool SimSendPlan::buildResume(SimRoot &root, const SimResumeToken &token, std::string &message)
{
    m_streams.clear();
    m_warnings.clear();
    m_package = false;
    m_raw = token.rawok;
    const std::string errbuf = "cannot resume send: ";
    // Like OpenZFS, the snapshot is looked up by guid (in the token's file
    // system first, then in the whole pool), so a renamed one still counts.
    SimRoot::Found named = root.find(SimNames::datasetOf(token.toname));
    SimPool *pool = root.pool(SimRoot::poolOf(token.toname));
    SimDataset *ds = nullptr;
    SimSnap *to = nullptr;
    if (named.ds && (to = named.ds->snapByGuid(token.toguid)))
        ds = named.ds;
    for (size_t i = 0; pool && !to && i < pool->datasets.size(); i++)
        if ((to = pool->datasets[i].snapByGuid(token.toguid)))
            ds = &pool->datasets[i];
    if (!to) {
        const bool exists = root.find(token.toname).snap != nullptr;
        message = errbuf + "'" + token.toname + "' " +
                  (exists ? "is no longer the same snapshot used in the initial send"
                          : "used in the initial send no longer exists") + "\n";
        return false;
    }
    SimSnap *from = nullptr;
    const SimBookmark *fromBookmark = nullptr;
    // Like OpenZFS, the base may be a bookmark of the same guid.
    for (const auto &b : ds->bookmarks)
        if (token.fromguid != 0 && b.guid == token.fromguid && !ds->snapByGuid(token.fromguid))
            fromBookmark = &b;
    if (token.fromguid != 0 && !fromBookmark && !(from = ds->snapByGuid(token.fromguid))) {
        char hex[32];
        snprintf(hex, sizeof hex, "%#llx", (unsigned long long)token.fromguid);
        message = errbuf + "incremental source " + hex + " no longer exists\n";
        return false;
    }
    if (!m_raw && !SimCrypto::readable(*pool, *ds)) {
        message = "warning: cannot send '" + ds->name + "@" + to->name + "': source key must be loaded\n";
        return false;
    }
    std::string error;
    if (!addStream(root, *pool, *ds, from, to, false, error, fromBookmark)) {
        message = "internal error: " + error + "\n";
        return false;
    }
    SimSubstream &s = m_streams.back();
    const uint64_t records = s.frees.size() + s.entries.size();
    const SimEntry *cut = token.object < records && token.object >= s.frees.size()
                              ? &s.entries[token.object - s.frees.size()]
                              : nullptr;
    if (token.object > records || (token.offset > 0 && (!cut || cut->type != 'f' || token.offset > cut->size))) {
        message = errbuf + "resume token is corrupt\n";
        return false;
    }
    using F = SimStreamFormat;
    const uint64_t h = F::kHeaderSize;
    s.skip = token.object;
    s.tailOffset = token.offset;
    F::Lines lines = F::decodeLines(s.begin);
    lines.push_back({"resumeobject", std::to_string(token.object)});
    lines.push_back({"resumeoffset", std::to_string(token.offset)});
    s.begin = F::encodeLines(lines);
    s.size = h + s.begin.size() + h + F::kDigestSize;
    for (uint64_t i = token.object; i < records; i++) {
        if (i < s.frees.size()) {
            s.size += h + F::entryLength('x', 0, s.frees[i], "");
            continue;
        }
        const SimEntry &e = s.entries[i - s.frees.size()];
        if (i == token.object && token.offset > 0)
            s.size += h + F::tailLength(e.size, token.offset, e.path);
        else
            s.size += h + F::entryLength(e.type, e.size, e.path, e.target);
    }
    return true;
}

std::string SimSendPlan::plainRefusal(SimPool &pool, const std::vector<SimDataset *> &tree, const std::string &sent,
                                      bool withProps) const
{
    if (m_raw)
        return std::string();
    // $ zfs send -R tank/enc@s
    // cannot send tank/enc@s: encrypted dataset tank/enc may not be sent with properties without the raw flag
    if (withProps)
        for (SimDataset *d : tree)
            if (d->encrypted())
                return "cannot send " + sent + ": encrypted dataset " + d->name +
                       " may not be sent with properties without the raw flag\n";
    // A plain stream is decrypted on the way, so the key must be loaded.
    // One snapshot goes through zfs_send_one ("dataset key"), a package
    // through the per-snapshot ioctl ("source key").
    for (SimDataset *d : tree)
        if (!SimCrypto::readable(pool, *d))
            return "warning: cannot send '" + (m_package ? d->name + "@" + SimNames::snapOf(sent) : sent) + "': " +
                   (m_package ? "source" : "dataset") + " key must be loaded\n";
    return std::string();
}

std::string SimSendPlan::fromLabel(const SimSubstream &s) const
{
    if (s.fromBookmark)
        return s.ds->name + "#" + s.fromBookmark->name;
    if (!s.from)
        return std::string();
    return m_package ? s.from->name : s.ds->name + "@" + s.from->name;
}

uint64_t SimSendPlan::totalSize() const
{
    uint64_t sum = 0;
    for (const auto &s : m_streams)
        sum += s.size;
    return sum;
}

std::vector<SimSendLine> SimSendPlan::lines() const
{
    std::vector<SimSendLine> out;
    for (const auto &s : m_streams)
        out.push_back({fromLabel(s), s.ds->name + "@" + s.to->name, s.size});
    return out;
}

std::string SimSendPlan::dryRunText(const std::vector<SimSendLine> &lines, bool parsable)
{
    std::string out;
    uint64_t total = 0;
    for (const auto &l : lines) {
        total += l.size;
        if (parsable) {
            if (!l.from.empty())
                out += "incremental\t" + l.from + "\t" + l.to + "\t" + std::to_string(l.size) + "\n";
            else
                out += "full\t" + l.to + "\t" + std::to_string(l.size) + "\n";
        } else if (!l.from.empty()) {
            const std::string from = l.from.find_first_of("@#") == std::string::npos ? "@" + l.from : l.from;
            out += "send from " + from + " to " + l.to + " estimated size is " + SimText::niceNum(l.size) + "\n";
        } else {
            out += "full send of " + l.to + " estimated size is " + SimText::niceNum(l.size) + "\n";
        }
    }
    if (parsable)
        out += "size\t" + std::to_string(total) + "\n";
    else
        out += "total estimated size is " + SimText::niceNum(total) + "\n";
    return out;
}

} // namespace zsim
