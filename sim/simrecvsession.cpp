#include "simrecvsession.h"

#include "simfiles.h"
#include "simnames.h"
#include "simpartial.h"
#include "simrecvresume.h"
#include "simtext.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

namespace {

using Options = SimRecvOptions;
using Begin = SimRecvBegin;
using Action = SimRecvAction;
using Decision = SimRecvDecision;

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

} // namespace

bool SimRecvSession::receive(const std::string &payload, const std::string &top)
{
    const Begin b = SimRecvApply::parseBegin(payload);
    const std::string fs = SimRecvApply::mapTarget(m_o, b.fs, top);
    const std::string snap = top.empty() && SimNames::isSnapshot(m_o.target) ? SimNames::snapOf(m_o.target)
                                                                               : b.tosnap;
    const bool isTop = top.empty() || b.fs == top;
    std::string prefix = SimRecvApply::streamPrefix(b);
    std::string error;
    if (!m_root.open(false, error)) {
        fprintf(stderr, "internal error: %s\n", error.c_str());
        return false;
    }
    Decision d = SimRecvApply::decide(m_root, m_o, b, fs, snap);
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
    Begin original = d.action == Action::Resume ? SimRecvApply::parseBegin(prior.begin) : b;
    if (!top.empty() && (original.encroot == top || SimText::startsWith(original.encroot, top + "/")))
        original.encrootTarget = SimRecvApply::mapTarget(m_o, original.encroot, top);
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
            saved = keepPartial(stage, d.action, original, payload, prior, fs,
                                priorBytes + m_in.consumed() - before);
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
        prefix = SimRecvApply::streamPrefix(original);
        Decision again = SimRecvApply::decideFinish(m_root, m_o, original, fs);
        if (again.action == Action::Fail) {
            m_root.close();
            fputs(again.message.c_str(), stderr);
            return false;
        }
        action = again.action;
    } else {
        Decision again = SimRecvApply::decide(m_root, m_o, b, fs, snap);
        if (again.action != d.action) {
            m_root.close();
            fputs(again.action == Action::Fail ? again.message.c_str() : (prefix + "dataset is busy\n").c_str(),
                  stderr);
            return false;
        }
    }
    if (!SimRecvApply::commit(m_root, m_o, original, fs, snap, action, stage.changes(), isTop, error)) {
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

// After a cut: keeps what arrived whole as the partial state of `fs`
// (creating the new file system a full stream was going to create) and
// returns the lines zfs adds to its error, with the token; "" when
// nothing could be kept.
std::string SimRecvSession::keepPartial(SimRecvStage &stage, Action action, const Begin &original,
                                        const std::string &payload, const SimPartialData &prior,
                                        const std::string &fs, uint64_t bytes)
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
        p.raw = original.raw;
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

} // namespace zsim
