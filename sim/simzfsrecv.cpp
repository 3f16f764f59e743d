#include "simzfsrecv.h"

#include "simargs.h"
#include "simfiles.h"
#include "simfaults.h"
#include "simnames.h"
#include "simpartial.h"
#include "simprops.h"
#include "simrecvresume.h"
#include "simrecvstage.h"
#include "simspace.h"
#include "simstreamformat.h"
#include "simstreamreader.h"
#include "simtext.h"
#include "simusage.h"
#include "simzfsdestroy.h"
#include "simzfsset.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <unistd.h>

namespace zsim {

namespace {

using F = SimStreamFormat;

struct Options {
    bool force = false, noMount = false, verbose = false, dryRun = false;
    bool resumable = false; // -s
    char prefixMode = 0; // 'd' or 'e'
    std::string target;
    std::vector<std::pair<std::string, std::string>> setProps; // -o, canonical names
    std::set<std::string> excludeProps;                        // -x, canonical names
};

struct Begin {
    std::string fs, tosnap, fromsnap;
    uint64_t toguid = 0, fromguid = 0;
    int64_t creation = 0;
    bool hasProps = false;
    std::map<std::string, std::string> props;
    bool resuming = false;  // a stream of `zfs send -t`
    uint64_t resumeObject = 0, resumeOffset = 0;
};

enum class Action { Fail, Skip, Create, Replace, Incremental, Resume };

struct Decision {
    Action action = Action::Fail;
    std::string message;   // complete stderr text for Fail
    uint64_t space = 0;    // bytes the pool can still take
};

std::string streamPrefix(const Begin &b)
{
    if (b.resuming)
        return "cannot receive resume stream: ";
    return b.fromguid != 0 ? "cannot receive incremental stream: " : "cannot receive new filesystem stream: ";
}

Begin parseBegin(const std::string &payload)
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
        else if (l[0] == "prop" && l.size() >= 3) {
            b.hasProps = true;
            b.props[l[1]] = l[2];
        }
    }
    return b;
}

// Staging directories of receives that were killed: their pid is gone and
// they were last changed ten minutes ago or earlier (a pid alone could
// belong to another PID namespace).
void removeStaleStaging(const std::string &tmpDir)
{
    const time_t now = time(nullptr);
    DIR *d = opendir(tmpDir.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (struct dirent *de = readdir(d)) {
        const std::string name = de->d_name;
        if (name.rfind("recv-", 0) != 0)
            continue;
        const pid_t pid = (pid_t)strtol(name.c_str() + 5, nullptr, 10);
        struct stat st;
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH && stat((tmpDir + "/" + name).c_str(), &st) == 0 &&
            st.st_mtime + 600 < now)
            stale.push_back(tmpDir + "/" + name);
    }
    closedir(d);
    std::string ignored;
    for (const auto &path : stale)
        SimFiles::removeTree(path, ignored);
}

// The destination file system of a stream of `streamFs`; `top` is the
// package's top file system (empty for a single stream).
std::string mapTarget(const Options &o, const std::string &streamFs, const std::string &top)
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

// A resumed stream continues the partial state of `fs`, which must be the
// one the stream was cut from (guid and position).
Decision decideResume(SimRoot::Found &f, const Options &o, const Begin &b, const std::string &fs)
{
    Decision d;
    const std::string prefix = streamPrefix(b);
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

// The action a partial state finishes with once its stream is complete.
Action resumedAction(const SimDataset &ds)
{
    if (ds.partial.newfs)
        return Action::Create;
    return ds.partial.fromguid != 0 ? Action::Incremental : Action::Replace;
}

Decision decide(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap)
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
    if (f.ds && f.ds->partial.active) {
        d.message = prefix + "destination " + fs + " contains partially-complete state from \"zfs receive -s\".\n";
        return d;
    }
    if (incremental) {
        if (!f.ds) {
            d.message = prefix + "destination '" + fs + "' does not exist\n";
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
        } else if (root.store(*f.pool, *f.ds).modifiedSince(base->id)) {
            d.message = prefix + "destination " + fs + " has been modified\nsince most recent snapshot\n";
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
        d.action = Action::Replace;
        return d;
    }
    const std::string parent = SimNames::parentOf(fs);
    if (parent.empty() || !f.pool || !f.pool->dataset(parent)) {
        d.message = "cannot open '" + (parent.empty() ? fs : parent) + "': dataset does not exist\n" + prefix +
                    "unable to restore to destination\n";
        return d;
    }
    d.action = Action::Create;
    return d;
}

// Checks, under the exclusive lock, that a completed resumed stream can
// still be applied: the partial state is there and, for an incremental one,
// its base too, with the destination unmodified since (unless -F).
Decision decideFinish(SimRoot &root, const Options &o, const Begin &b, const std::string &fs)
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
    } else if (!o.force && root.store(*f.pool, *f.ds).modifiedSince(base->id)) {
        d.action = Action::Fail;
        d.message = prefix + "destination " + fs + " has been modified\nsince most recent snapshot\n";
    }
    return d;
}

// -x drops a property of the stream (the value is then inherited or the
// default); -o sets it locally on the top file system, and its descendants
// in a package inherit it instead of the stream's value.
void applyPropertyOptions(const Options &o, SimDataset &ds, bool isTop)
{
    for (const auto &name : o.excludeProps)
        ds.received.erase(name);
    for (const auto &p : o.setProps) {
        ds.received.erase(p.first);
        if (isTop)
            ds.local[p.first] = p.second;
    }
}

bool commit(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap,
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

// -F with an incremental package: snapshots the sender no longer has are
// destroyed (a held one is renamed out of the way and the receive fails in
// the end); snapshots the sender renamed follow the new name.
bool prune(SimRoot &root, const Options &o, const F::Lines &pkg, const std::string &top, bool &heldKept)
{
    std::string error;
    if (!root.open(true, error)) {
        fprintf(stderr, "internal error: %s\n", error.c_str());
        return false;
    }
    std::map<std::string, std::map<uint64_t, std::string>> source; // fs -> guid -> name
    for (const auto &l : pkg)
        if (l.size() >= 4 && l[0] == "snap") {
            uint64_t g = 0;
            SimText::toU64(l[3], g);
            source[l[1]][g] = l[2];
        } else if (l.size() >= 2 && l[0] == "fs") {
            source[l[1]];
        }
    int renamed = 0;
    for (const auto &fsEntry : source) {
        SimRoot::Found f = root.find(mapTarget(o, fsEntry.first, top));
        if (!f.ds)
            continue;
        std::vector<SimSnap> snaps = f.ds->snaps;
        for (const auto &s : snaps) {
            auto g = fsEntry.second.find(s.guid);
            if (g != fsEntry.second.end()) {
                if (g->second != s.name && !f.ds->snap(g->second))
                    f.ds->snap(s.name)->name = g->second;
                continue;
            }
            if (!o.force)
                continue;
            if (!s.holds.empty()) {
                f.ds->snap(s.name)->name = "recv-" + std::to_string(getpid()) + "-" + std::to_string(++renamed);
                heldKept = true;
                continue;
            }
            if (!SimZfsDestroy::removeSnapshot(root, *f.pool, *f.ds, s.id, error)) {
                fprintf(stderr, "internal error: %s\n", error.c_str());
                return false;
            }
        }
        f.pool->txg++;
        if (!root.save(*f.pool, error)) {
            fprintf(stderr, "internal error: %s\n", error.c_str());
            return false;
        }
    }
    root.close();
    return true;
}

class Session {
public:
    Session(SimRoot &root, const Options &o, SimStreamReader &in) : m_root(root), m_o(o), m_in(in) {}

    // Handles one snapshot stream whose BEGIN payload was just read.
    bool receive(const std::string &payload, const std::string &top)
    {
        const Begin b = parseBegin(payload);
        const std::string fs = mapTarget(m_o, b.fs, top);
        const std::string snap = top.empty() && SimNames::isSnapshot(m_o.target) ? SimNames::snapOf(m_o.target)
                                                                                   : b.tosnap;
        const bool isTop = top.empty() || b.fs == top;
        std::string prefix = streamPrefix(b);
        std::string error;
        if (!m_root.open(false, error)) {
            fprintf(stderr, "internal error: %s\n", error.c_str());
            return false;
        }
        Decision d = decide(m_root, m_o, b, fs, snap);
        SimPartialData prior;
        uint64_t priorBytes = 0;
        std::string partialDir;
        if (d.action == Action::Resume) {
            SimRoot::Found f = m_root.find(fs);
            partialDir = m_root.partialDir(f.pool->name, f.ds->id);
            priorBytes = f.ds->partial.bytes;
            if (!SimPartialStore::load(partialDir, prior, error)) {
                m_root.close();
                fprintf(stderr, "%s%s\n", prefix.c_str(), error.c_str());
                return false;
            }
        }
        m_root.close();
        if (d.action == Action::Fail) {
            fputs(d.message.c_str(), stderr);
            return false;
        }
        // A resumed stream completes the original one: its BEGIN decides
        // the snapshot, the base and the properties.
        const Begin original = d.action == Action::Resume ? parseBegin(prior.begin) : b;
        const bool incremental = original.fromguid != 0;
        if (m_o.verbose)
            printf("%s %s stream of %s@%s into %s@%s\n", m_o.dryRun ? "would receive" : "receiving",
                   d.action == Action::Resume ? "resume" : incremental ? "incremental" : "full", b.fs.c_str(),
                   b.tosnap.c_str(), fs.c_str(), snap.c_str());
        removeStaleStaging(m_root.tmpDir(SimRoot::poolOf(fs)));
        const auto started = std::chrono::steady_clock::now();
        const uint64_t before = m_in.consumed();
        const bool keep = d.action != Action::Skip && !m_o.dryRun;
        const std::string stageDir = d.action == Action::Resume
                                         ? partialDir
                                         : m_root.tmpDir(SimRoot::poolOf(fs)) + "/recv-" +
                                               std::to_string(getpid()) + "-" + std::to_string(++m_count);
        SimRecvStage stage(m_in, stageDir, d.space, d.action == Action::Resume ? &prior : nullptr);
        if (d.action == Action::Resume)
            stage.keepDir(); // until the snapshot is complete
        std::string reason;
        if (!stage.read(keep, reason)) {
            std::string saved;
            if (keep && (m_o.resumable || d.action == Action::Resume))
                saved = keepPartial(stage, d.action, original, payload, prior, fs, priorBytes + m_in.consumed() - before);
            fprintf(stderr, "%s%s%s\n", prefix.c_str(), reason.c_str(), saved.c_str());
            return false;
        }
        if (d.action == Action::Skip) {
            if (m_o.verbose)
                printf("snap %s@%s already exists; ignoring\n", fs.c_str(), snap.c_str());
            return true;
        }
        if (m_o.dryRun)
            return true;
        if (!m_root.open(true, error)) {
            fprintf(stderr, "internal error: %s\n", error.c_str());
            return false;
        }
        Action action = d.action;
        if (d.action == Action::Resume) {
            prefix = streamPrefix(original);
            Decision again = decideFinish(m_root, m_o, original, fs);
            if (again.action == Action::Fail) {
                m_root.close();
                fputs(again.message.c_str(), stderr);
                return false;
            }
            action = again.action;
        } else {
            Decision again = decide(m_root, m_o, b, fs, snap);
            if (again.action != d.action) {
                m_root.close();
                fputs(again.action == Action::Fail ? again.message.c_str() : (prefix + "dataset is busy\n").c_str(),
                      stderr);
                return false;
            }
        }
        if (!commit(m_root, m_o, original, fs, snap, action, stage.changes(), isTop, error)) {
            m_root.close();
            fprintf(stderr, "%s%s\n", prefix.c_str(), error.c_str());
            return false;
        }
        m_root.close();
        if (d.action == Action::Resume) {
            std::string ignored;
            SimFiles::removeTree(partialDir, ignored);
        }
        if (m_o.verbose) {
            const double secs =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const uint64_t bytes = m_in.consumed() - before;
            printf("received %s stream in %.2f seconds (%s/sec)\n", SimText::niceNum(bytes).c_str(), secs,
                   SimText::niceNum(secs > 0 ? (uint64_t)(bytes / secs) : bytes).c_str());
        }
        return true;
    }

private:
    // After a cut: keeps what arrived whole as the partial state of `fs`
    // (creating the new file system a full stream was going to create) and
    // returns the lines zfs adds to its error, with the token; "" when
    // nothing could be kept.
    std::string keepPartial(SimRecvStage &stage, Action action, const Begin &original,
                            const std::string &payload, const SimPartialData &prior, const std::string &fs,
                            uint64_t bytes)
    {
        std::string error;
        if (!m_root.open(true, error))
            return std::string();
        SimPool *pool = m_root.pool(SimRoot::poolOf(fs));
        SimDataset *ds = pool ? pool->dataset(fs) : nullptr;
        bool ok = pool != nullptr;
        if (ok && action == Action::Create && !ds) {
            SimDataset created;
            created.id = pool->allocateId();
            created.name = fs;
            created.guid = SimRoot::newGuid();
            created.createtxg = ++pool->txg;
            created.creation = time(nullptr);
            ok = m_root.store(*pool, created).create(error);
            if (ok) {
                pool->datasets.push_back(created);
                pool->sortDatasets();
                ds = pool->dataset(fs);
                ds->partial.newfs = true;
            }
        }
        ok = ok && ds;
        SimPartialData data = stage.partial();
        data.begin = action == Action::Resume ? prior.begin : payload;
        if (ok && action != Action::Resume) {
            const std::string dir = m_root.partialDir(pool->name, ds->id);
            ok = SimFiles::removeTree(dir, error) && stage.moveTo(dir, error);
            data = stage.partial();
            data.begin = payload;
        }
        ok = ok && SimPartialStore::save(stage.dir(), data, error);
        if (ok) {
            stage.keepDir();
            SimPartial &p = ds->partial;
            p.active = true;
            p.object = data.changes.size();
            p.offset = data.hasTail ? data.tailBytes : 0;
            p.bytes = bytes;
            p.toguid = original.toguid;
            p.fromguid = original.fromguid;
            p.toname = original.fs + "@" + original.tosnap;
            ok = m_root.save(*pool, error);
        }
        const std::string token = ok ? SimRecvResume::tokenText(*ds) : std::string();
        m_root.close();
        if (!ok)
            return std::string();
        return "\nPartially received snapshot is saved.\n"
               "A resuming stream can be generated on the sending system by running:\n"
               "    zfs send -t " + token;
    }

    SimRoot &m_root;
    const Options &m_o;
    SimStreamReader &m_in;
    int m_count = 0;
};

bool readHeader(SimStreamReader &in, uint32_t &type, uint64_t &length, std::string &payload, bool first)
{
    std::string header;
    const bool complete = in.read(header, F::kHeaderSize);
    if (header.size() >= 4 && F::getU32(header.data()) != F::kMagic) {
        fputs("cannot receive: invalid stream (bad magic number)\n", stderr);
        return false;
    }
    if (!complete) {
        fputs(first ? "cannot receive: failed to read from stream\n"
                    : "cannot receive incremental stream: incomplete stream\n",
              stderr);
        return false;
    }
    if (F::getU32(header.data()) != F::kMagic) {
        fputs("cannot receive: invalid stream (bad magic number)\n", stderr);
        return false;
    }
    type = F::getU32(header.data() + 4);
    length = F::getU64(header.data() + 8);
    if ((type != F::PkgBegin && type != F::Begin && type != F::PkgEnd) || length > (64u << 20)) {
        fputs("cannot receive: invalid stream (bad record type)\n", stderr);
        return false;
    }
    if (!in.read(payload, length)) {
        fputs("cannot receive: failed to read from stream\n", stderr);
        return false;
    }
    return true;
}

} // namespace

int SimZfsRecv::run(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("FhMnsuvdeo:x:A", {}, error))
        return SimUsage::fail("zfs", "receive", error);
    Options o;
    bool abort = false;
    for (const auto &opt : parser.options()) {
        switch (opt.id) {
        case 'F': o.force = true; break;
        case 'u': o.noMount = true; break;
        case 'v': o.verbose = true; break;
        case 'n': o.dryRun = true; break;
        case 's': o.resumable = true; break;
        case 'd':
        case 'e': o.prefixMode = (char)opt.id; break;
        case 'A': abort = true; break;
        case 'o':
        case 'x': {
            const size_t eq = opt.arg.find('=');
            if (opt.id == 'o' && (eq == std::string::npos || eq == 0))
                return SimUsage::fail("zfs", "receive", "missing '=' for property=value argument");
            const std::string prop = SimProps::canonical(opt.id == 'o' ? opt.arg.substr(0, eq) : opt.arg);
            std::string reason;
            if (prop.empty()) {
                reason = "invalid property '" + (opt.id == 'o' ? opt.arg.substr(0, eq) : opt.arg) + "'";
            } else if (opt.id == 'o') {
                if (SimProps::validateSet(prop, opt.arg.substr(eq + 1), false, reason))
                    o.setProps.push_back({prop, opt.arg.substr(eq + 1)});
            } else {
                o.excludeProps.insert(prop);
            }
            if (!reason.empty()) {
                fprintf(stderr, "cannot receive: %s\n", reason.c_str());
                return 1;
            }
            break;
        }
        }
    }
    if (abort)
        return SimRecvResume::abort(root, parser.operands());
    const auto &ops = parser.operands();
    if (ops.size() != 1)
        return SimUsage::fail("zfs", "receive", ops.empty() ? "missing snapshot argument" : "too many arguments");
    o.target = ops[0];
    if (isatty(STDIN_FILENO)) {
        fputs("Error: Backup stream can not be read from a terminal.\nYou must redirect standard input.\n", stderr);
        return 1;
    }
    SimFaults faults(root.faultsDir());
    SimStreamReader in(STDIN_FILENO, faults.number("recv-rate"), faults.number("recv-stall"));
    Session session(root, o, in);
    uint32_t type;
    uint64_t length;
    std::string payload;
    in.startSum();
    if (!readHeader(in, type, length, payload, true))
        return 1;
    if (type == F::Begin)
        return session.receive(payload, "") ? 0 : 1;
    if (type != F::PkgBegin) {
        fputs("cannot receive: invalid stream (bad record type)\n", stderr);
        return 1;
    }
    const F::Lines pkg = F::decodeLines(payload);
    const std::string top = F::field(pkg, "top");
    if (SimNames::isSnapshot(o.target)) {
        fprintf(stderr, "cannot receive: invalid name '%s': a replication stream needs a file system as target\n",
                o.target.c_str());
        return 1;
    }
    bool heldKept = false;
    if (!F::field(pkg, "fromsnap").empty() && !o.dryRun && !prune(root, o, pkg, top, heldKept))
        return 1;
    while (true) {
        in.startSum();
        if (!readHeader(in, type, length, payload, false))
            return 1;
        if (type == F::PkgEnd)
            break;
        if (type != F::Begin) {
            fputs("cannot receive: invalid stream (bad record type)\n", stderr);
            return 1;
        }
        if (!session.receive(payload, top))
            return 1;
    }
    return heldKept ? 1 : 0;
}

} // namespace zsim
