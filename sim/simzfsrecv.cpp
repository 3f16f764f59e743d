#include "simzfsrecv.h"

#include "simargs.h"
#include "simfiles.h"
#include "simfaults.h"
#include "simnames.h"
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
    char prefixMode = 0; // 'd' or 'e'
    std::string target;
};

struct Begin {
    std::string fs, tosnap, fromsnap;
    uint64_t toguid = 0, fromguid = 0;
    int64_t creation = 0;
    bool hasProps = false;
    std::map<std::string, std::string> props;
};

enum class Action { Fail, Skip, Create, Replace, Incremental };

struct Decision {
    Action action = Action::Fail;
    std::string message;   // complete stderr text for Fail
    uint64_t space = 0;    // bytes the pool can still take
};

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

Decision decide(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap)
{
    Decision d;
    const bool incremental = b.fromguid != 0;
    const std::string prefix =
        incremental ? "cannot receive incremental stream: " : "cannot receive new filesystem stream: ";
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

bool commit(SimRoot &root, const Options &o, const Begin &b, const std::string &fs, const std::string &snap,
            Action action, const std::vector<SimChange> &changes, std::string &error)
{
    SimPool *pool = root.pool(SimRoot::poolOf(fs));
    pool->txg++;
    if (action == Action::Create) {
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
        const bool incremental = b.fromguid != 0;
        const std::string prefix =
            incremental ? "cannot receive incremental stream: " : "cannot receive new filesystem stream: ";
        std::string error;
        if (!m_root.open(false, error)) {
            fprintf(stderr, "internal error: %s\n", error.c_str());
            return false;
        }
        Decision d = decide(m_root, m_o, b, fs, snap);
        m_root.close();
        if (d.action == Action::Fail) {
            fputs(d.message.c_str(), stderr);
            return false;
        }
        if (m_o.verbose)
            printf("%s %s stream of %s@%s into %s@%s\n", m_o.dryRun ? "would receive" : "receiving",
                   incremental ? "incremental" : "full", b.fs.c_str(), b.tosnap.c_str(), fs.c_str(), snap.c_str());
        removeStaleStaging(m_root.tmpDir(SimRoot::poolOf(fs)));
        const auto started = std::chrono::steady_clock::now();
        const uint64_t before = m_in.consumed();
        const bool keep = d.action != Action::Skip && !m_o.dryRun;
        SimRecvStage stage(m_in, m_root.tmpDir(SimRoot::poolOf(fs)) + "/recv-" + std::to_string(getpid()) + "-" +
                                     std::to_string(++m_count),
                           d.space);
        std::string reason;
        if (!stage.read(keep, reason)) {
            fprintf(stderr, "%s%s\n", prefix.c_str(), reason.c_str());
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
        Decision again = decide(m_root, m_o, b, fs, snap);
        if (again.action != d.action) {
            m_root.close();
            fputs(again.action == Action::Fail ? again.message.c_str() : (prefix + "dataset is busy\n").c_str(),
                  stderr);
            return false;
        }
        if (!commit(m_root, m_o, b, fs, snap, d.action, stage.changes(), error)) {
            m_root.close();
            fprintf(stderr, "%s%s\n", prefix.c_str(), error.c_str());
            return false;
        }
        m_root.close();
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
    for (const auto &opt : parser.options()) {
        switch (opt.id) {
        case 'F': o.force = true; break;
        case 'u': o.noMount = true; break;
        case 'v': o.verbose = true; break;
        case 'n': o.dryRun = true; break;
        case 'd':
        case 'e': o.prefixMode = (char)opt.id; break;
        case 'A': return SimUsage::fail("zfs", "receive", "-A (abort a resumable receive) is not simulated");
        }
    }
    const auto &ops = parser.operands();
    if (ops.size() != 1)
        return SimUsage::fail("zfs", "receive", ops.empty() ? "missing snapshot argument" : "too many arguments");
    o.target = ops[0];
    if (isatty(STDIN_FILENO)) {
        fputs("Error: Backup stream can not be read from a terminal.\nYou must redirect standard input.\n", stderr);
        return 1;
    }
    SimFaults faults(root.faultsDir());
    SimStreamReader in(STDIN_FILENO, faults.number("recv-rate"));
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
