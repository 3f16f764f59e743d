#include "simrecvapply.h"

#include "simrecvcrypt.h"
#include "simnames.h"
#include "simprops.h"
#include "simspace.h"
#include "simstreamformat.h"
#include "simtext.h"
#include "simzfsdestroy.h"
#include "simzfsset.h"

#include <cstdlib>
#include <ctime>

namespace zsim {

namespace {

// OpenZFS refuses a raw incremental (without -F) onto a dataset whose newest
// snapshot is not the stream's base, even when no data changed: its check
// of the encryption's ivset needs the base to be the newest.
bool rawOntoLater(const SimRecvBegin &b, const SimDataset &ds, const SimSnap &base)
{
    if (!b.raw)
        return false;
    for (const auto &s : ds.snaps)
        if (s.createtxg > base.createtxg)
            return true;
    return false;
}

} // namespace

namespace {

using F = SimStreamFormat;
using Options = SimRecvOptions;
using Begin = SimRecvBegin;
using Action = SimRecvAction;
using Decision = SimRecvDecision;

// A resumed stream continues the partial state of `fs`, which must be the
// one the stream was cut from (guid and position).
Decision decideResume(SimRoot::Found &f, const Options &o, const Begin &b, const std::string &fs)
{
    Decision d;
    const std::string prefix = SimRecvApply::streamPrefix(b);
    if (!f.ds) {
        d.message = prefix + "destination '" + fs + "' does not exist\n";
        return d;
    }
    const SimPartial &p = f.ds->partial;
    if (!p.active || p.toguid != b.toguid || p.object != b.resumeObject || p.offset != b.resumeOffset) {
        d.message = prefix + (o.resumable ? "kernel modules must be upgraded to receive this stream.\n"
                                          : "invalid backup stream\n");
        return d;
    }
    d.action = Action::Resume;
    return d;
}

// -x keeps the stream's value as the received one but forces an explicit
// inherit over it, so the effective value is inherited or the default; a
// non-inheritable property (canmount) is dropped from the stream instead,
// and a locally set one is left alone. -o sets the value locally on the
// top file system; its descendants in a package get the explicit inherit.
void applyPropertyOptions(const Options &o, SimDataset &ds, bool isTop)
{
    auto forceInherit = [&ds](const std::string &name) {
        const SimPropDef *d = SimProps::find(name);
        if (d && !d->inherits)
            ds.received.erase(name);
        else
            ds.inheritForced.insert(name);
    };
    for (const auto &name : o.excludeProps)
        if (!ds.local.count(name))
            forceInherit(name);
    for (const auto &p : o.setProps) {
        if (p.first == "encryption" || p.first == "keyformat" || (p.first == "keylocation" && !isTop))
            continue; // set up with the file system's encryption, not stored as properties
        if (isTop) {
            ds.local[p.first] = p.second;
            ds.inheritForced.erase(p.first);
        } else {
            forceInherit(p.first);
        }
    }
}

} // namespace

std::string SimRecvApply::streamPrefix(const Begin &b)
{
    if (b.resuming)
        return "cannot receive resume stream: ";
    return b.fromguid != 0 ? "cannot receive incremental stream: " : "cannot receive new filesystem stream: ";
}

Begin SimRecvApply::parseBegin(const std::string &payload)
{
    Begin b;
    for (const auto &l : F::decodeLines(payload)) {
        if (l.size() < 2)
            continue;
        if (l[0] == "fs") b.fs = l[1];
        else if (l[0] == "tosnap") b.tosnap = l[1];
        else if (l[0] == "fromsnap") b.fromsnap = l[1];
        else if (l[0] == "toguid") SimText::toU64(l[1], b.toguid);
        else if (l[0] == "fromguid") SimText::toU64(l[1], b.fromguid);
        else if (l[0] == "creation") b.creation = (int64_t)strtoll(l[1].c_str(), nullptr, 10);
        else if (l[0] == "resumeobject") b.resuming = SimText::toU64(l[1], b.resumeObject);
        else if (l[0] == "resumeoffset") SimText::toU64(l[1], b.resumeOffset);
        else if (l[0] == "raw") b.raw = l[1] == "1";
        else if (l[0] == "crypt" && l.size() >= 5) {
            b.crypt.suite = l[1];
            b.crypt.keyformat = l[2];
            b.crypt.keyDigest = l[3];
            b.encroot = l[4];
        } else if (l[0] == "prop" && l.size() >= 3) {
            b.hasProps = true;
            b.props[l[1]] = l[2];
        } else if (l[0] == "snapprop" && l.size() >= 3) {
            b.snapProps[l[1]] = l[2];
        }
    }
    return b;
}

// Staging directories of receives that were killed: their pid is gone and
// they were last changed ten minutes ago or earlier (a pid alone could
// belong to another PID namespace).

std::string SimRecvApply::mapTarget(const Options &o, const std::string &streamFs, const std::string &top)
{
    std::string base = SimNames::datasetOf(o.target);
    const std::string source = top.empty() ? streamFs : top;
    if (o.prefixMode == 'd') {
        size_t slash = source.find('/');
        if (slash != std::string::npos)
            base += source.substr(slash);
    } else if (o.prefixMode == 'e') {
        base += "/" + source.substr(source.rfind('/') + 1);
    }
    return top.empty() ? base : base + streamFs.substr(top.size());
}


// The action a partial state finishes with once its stream is complete.
Action SimRecvApply::resumedAction(const SimDataset &ds)
{
    if (ds.partial.newfs)
        return Action::Create;
    return ds.partial.fromguid != 0 ? Action::Incremental : Action::Replace;
}

Decision SimRecvApply::decide(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap)
{
    Decision d;
    const bool incremental = b.fromguid != 0;
    const std::string prefix = streamPrefix(b);
    std::string reason;
    if (!SimNames::valid(fs + "@" + snap, true, reason)) {
        d.message = "cannot open '" + fs + "@" + snap + "': " + reason + "\n";
        return d;
    }
    SimRoot::Found f = root.find(fs);
    if (f.pool) {
        SimSpace space(root);
        d.space = space.available(*f.pool);
    }
    if (b.resuming) {
        Decision r = decideResume(f, o, b, fs);
        r.space = d.space;
        return r;
    }
    const std::string optionRefusal = SimRecvCrypt::optionRefusal(o, b, f.pool, fs);
    if (!optionRefusal.empty()) {
        d.message = prefix + optionRefusal + "\n";
        return d;
    }
    if (f.ds && f.ds->partial.active) {
        d.message = prefix + "destination " + fs + " contains partially-complete state from \"zfs receive -s\".\n";
        return d;
    }
    if (incremental) {
        if (!f.ds) {
            d.message = prefix + "destination '" + fs + "' does not exist\n";
            return d;
        }
        const std::string early = SimRecvCrypt::incrementalRefusal(*f.pool, *f.ds, b, true);
        if (!early.empty()) {
            d.message = prefix + early + "\n";
            return d;
        }
        if (SimSnap *existing = f.ds->snap(snap)) {
            if (existing->guid == b.toguid) {
                d.action = Action::Skip;
                return d;
            }
            d.message = "cannot restore to " + fs + "@" + snap + ": destination already exists\n";
            return d;
        }
        SimSnap *base = f.ds->snapByGuid(b.fromguid);
        if (!base) {
            d.message = prefix + "most recent snapshot of " + fs + " does not\nmatch incremental source\n";
            return d;
        }
        if (o.force) {
            for (const auto &s : f.ds->snaps)
                if (s.createtxg > base->createtxg && !s.holds.empty()) {
                    d.message = prefix + "dataset is busy\n";
                    return d;
                }
        } else if (root.store(*f.pool, *f.ds).modifiedSince(base->id) || rawOntoLater(b, *f.ds, *base)) {
            d.message = prefix + "destination " + fs + " has been modified\nsince most recent snapshot\n";
            return d;
        }
        const std::string keyRefusal = SimRecvCrypt::incrementalRefusal(*f.pool, *f.ds, b, false);
        if (!keyRefusal.empty()) {
            d.message = prefix + keyRefusal + "\n";
            return d;
        }
        d.action = Action::Incremental;
        return d;
    }
    if (f.ds) {
        if (!o.force) {
            d.message = prefix + "destination '" + fs + "' exists\nmust specify -F to overwrite it\n";
            return d;
        }
        if (!f.ds->snaps.empty()) {
            d.message = prefix + "destination has snapshots (eg. " + fs + "@" + f.ds->snaps.front().name +
                        ")\nmust destroy them to overwrite it\n";
            return d;
        }
        const std::string replaceRefusal = SimRecvCrypt::replaceRefusal(*f.ds, b);
        if (!replaceRefusal.empty()) {
            d.message = prefix + replaceRefusal + "\n";
            return d;
        }
        d.action = Action::Replace;
        return d;
    }
    const std::string parent = SimNames::parentOf(fs);
    if (parent.empty() || !f.pool || !f.pool->dataset(parent)) {
        d.message = "cannot open '" + (parent.empty() ? fs : parent) + "': dataset does not exist\n" + prefix +
                    "unable to restore to destination\n";
        return d;
    }
    const std::string createRefusal = SimRecvCrypt::createRefusal(*f.pool, *f.pool->dataset(parent), b);
    if (!createRefusal.empty()) {
        d.message = prefix + createRefusal + "\n";
        return d;
    }
    d.action = Action::Create;
    return d;
}

// Checks, under the exclusive lock, that a completed resumed stream can
// still be applied: the partial state is there and, for an incremental one,
// its base too, with the destination unmodified since (unless -F).
Decision SimRecvApply::decideFinish(SimRoot &root, const Options &o, const Begin &b, const std::string &fs)
{
    Decision d;
    const std::string prefix = b.fromguid != 0 ? "cannot receive incremental stream: "
                                               : "cannot receive new filesystem stream: ";
    SimRoot::Found f = root.find(fs);
    if (!f.ds || !f.ds->partial.active || f.ds->partial.toguid != b.toguid) {
        d.message = prefix + "dataset is busy\n";
        return d;
    }
    d.action = resumedAction(*f.ds);
    if (d.action != Action::Incremental)
        return d;
    SimSnap *base = f.ds->snapByGuid(b.fromguid);
    if (!base) {
        d.action = Action::Fail;
        d.message = prefix + "most recent snapshot of " + fs + " does not\nmatch incremental source\n";
    } else if (!o.force && (root.store(*f.pool, *f.ds).modifiedSince(base->id) || rawOntoLater(b, *f.ds, *base))) {
        d.action = Action::Fail;
        d.message = prefix + "destination " + fs + " has been modified\nsince most recent snapshot\n";
    }
    return d;
}


bool SimRecvApply::commit(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap,
            Action action, const std::vector<SimChange> &changes, bool isTop, std::string &error)
{
    SimPool *pool = root.pool(SimRoot::poolOf(fs));
    pool->txg++;
    if (action == Action::Create && !pool->dataset(fs)) {
        SimDataset ds;
        ds.id = pool->allocateId();
        ds.name = fs;
        ds.guid = SimRoot::newGuid();
        ds.createtxg = pool->txg;
        ds.creation = time(nullptr);
        if (!root.store(*pool, ds).create(error))
            return false;
        pool->datasets.push_back(ds);
        pool->sortDatasets();
    }
    SimDataset *ds = pool->dataset(fs);
    if ((action == Action::Create || action == Action::Replace) && !SimRecvCrypt::setUp(*pool, *ds, o, b, isTop, error))
        return false;
    SimDatasetStore store = root.store(*pool, *ds);
    uint64_t baseId = 0;
    if (action == Action::Incremental) {
        SimSnap *base = ds->snapByGuid(b.fromguid);
        baseId = base->id;
        bool rolledBack = false;
        if (o.force) {
            std::vector<uint64_t> newer;
            for (const auto &s : ds->snaps)
                if (s.createtxg > base->createtxg)
                    newer.push_back(s.id);
            for (uint64_t id : newer)
                if (!SimZfsDestroy::removeSnapshot(root, *pool, *ds, id, error))
                    return false;
            rolledBack = !newer.empty();
        }
        if ((rolledBack || o.force) && store.modifiedSince(baseId) && !store.resetLive(baseId, error))
            return false;
    }
    SimSnap s;
    s.id = pool->allocateId();
    s.name = snap;
    s.guid = b.toguid;
    s.createtxg = pool->txg;
    s.creation = b.creation;
    s.props = b.snapProps;
    if (!store.buildSnapshot(s.id, baseId, changes, error) || !store.resetLive(s.id, error))
        return false;
    ds->snaps.push_back(s);
    if (b.hasProps || action != Action::Incremental)
        ds->received = b.props;
    applyPropertyOptions(o, *ds, isTop);
    ds->partial = SimPartial();
    if (action != Action::Incremental)
        ds->mounted = !o.noMount && SimZfsSet::mountable(root, *pool, *ds);
    return root.save(*pool, error);
}

} // namespace zsim
