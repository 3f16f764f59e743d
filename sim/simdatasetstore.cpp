#include "simdatasetstore.h"

#include "simfiles.h"
#include "simtext.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

namespace {

int64_t nanos(const struct timespec &ts)
{
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

bool walkInto(const std::string &root, const std::string &rel, std::vector<SimEntry> &out,
              std::string &error)
{
    const std::string full = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(full.c_str());
    if (!d) {
        error = full + ": " + SimFiles::errnoText(errno);
        return false;
    }
    int dfd = dirfd(d);
    bool ok = true;
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // vanished while walking
        SimEntry e;
        e.path = rel.empty() ? name : rel + "/" + name;
        e.mode = st.st_mode & 07777;
        e.mtime = nanos(st.st_mtim);
        e.ctime = nanos(st.st_ctim);
        e.ino = st.st_ino;
        if (S_ISDIR(st.st_mode)) {
            e.type = 'd';
            out.push_back(e);
            if (!walkInto(root, e.path, out, error)) {
                ok = false;
                break;
            }
        } else if (S_ISLNK(st.st_mode)) {
            e.type = 'l';
            char buf[4096];
            ssize_t n = readlinkat(dfd, name.c_str(), buf, sizeof buf);
            e.target = n > 0 ? std::string(buf, (size_t)n) : std::string();
            out.push_back(e);
        } else if (S_ISREG(st.st_mode)) {
            e.type = 'f';
            e.size = (uint64_t)st.st_size;
            out.push_back(e);
        }
        // sockets, fifos and devices are not part of a dataset's data
    }
    closedir(d);
    return ok;
}

bool setMtime(const std::string &path, int64_t mtimeNs)
{
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = mtimeNs / 1000000000;
    ts[1].tv_nsec = mtimeNs % 1000000000;
    return utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string sysError(const std::string &what)
{
    return what + ": " + SimFiles::errnoText(errno);
}

// Creates directory (owner-only until its final mode is set) or link `e` at
// `path`.
bool makeNode(const SimEntry &e, const std::string &path, std::string &error)
{
    const int rc = e.type == 'd' ? mkdir(path.c_str(), 0700) : symlink(e.target.c_str(), path.c_str());
    if (rc != 0)
        error = sysError(path);
    return rc == 0;
}

} // namespace

SimDatasetStore::SimDatasetStore(std::string dir) : m_dir(std::move(dir)) {}

std::string SimDatasetStore::snapDir(uint64_t id) const
{
    return m_dir + "/snaps/" + std::to_string(id);
}

bool SimDatasetStore::create(std::string &error)
{
    return SimFiles::makeDirs(liveDir(), error) && SimFiles::makeDirs(m_dir + "/snaps", error) &&
           writeClean(CleanMap(), error);
}

bool SimDatasetStore::destroy(std::string &error)
{
    SimFiles::makeWritable(m_dir);
    return SimFiles::removeTree(m_dir, error);
}

bool SimDatasetStore::walk(const std::string &dir, std::vector<SimEntry> &entries, std::string &error)
{
    entries.clear();
    if (!walkInto(dir, std::string(), entries, error))
        return false;
    std::sort(entries.begin(), entries.end(),
              [](const SimEntry &a, const SimEntry &b) { return a.path < b.path; });
    return true;
}

bool SimDatasetStore::manifest(uint64_t snapId, std::vector<SimEntry> &entries, std::string &error) const
{
    return readManifest(snapDir(snapId) + "/manifest", entries, error);
}

bool SimDatasetStore::keepManifest(uint64_t snapId, uint64_t bookmarkId, std::string &error) const
{
    std::string text;
    return SimFiles::makeDirs(m_dir + "/bookmarks", error) &&
           SimFiles::readAll(snapDir(snapId) + "/manifest", text, error) &&
           SimFiles::writeAtomic(bookmarkManifest(bookmarkId), text, error);
}

bool SimDatasetStore::copyKeptManifest(uint64_t fromId, uint64_t toId, std::string &error) const
{
    std::string text;
    return SimFiles::readAll(bookmarkManifest(fromId), text, error) &&
           SimFiles::writeAtomic(bookmarkManifest(toId), text, error);
}

bool SimDatasetStore::dropManifest(uint64_t bookmarkId, std::string &error) const
{
    return SimFiles::removeTree(bookmarkManifest(bookmarkId), error);
}

bool SimDatasetStore::readManifest(const std::string &file, std::vector<SimEntry> &entries, std::string &error)
{
    std::string text;
    entries.clear();
    if (!SimFiles::readAll(file, text, error))
        return false;
    for (const std::string &line : SimText::split(text, '\n')) {
        if (line.empty())
            continue;
        std::vector<std::string> f = SimText::split(line, '\t');
        if (f.size() < 6)
            continue;
        SimEntry e;
        e.type = f[0].empty() ? 'f' : f[0][0];
        e.mode = (uint32_t)strtoul(f[1].c_str(), nullptr, 8);
        e.size = strtoull(f[2].c_str(), nullptr, 10);
        e.mtime = strtoll(f[3].c_str(), nullptr, 10);
        e.ino = strtoull(f[4].c_str(), nullptr, 10);
        e.path = SimText::unescape(f[5]);
        if (f.size() > 6)
            e.target = SimText::unescape(f[6]);
        entries.push_back(e);
    }
    return true;
}

bool SimDatasetStore::writeManifest(const std::string &snapDirPath, const std::vector<SimEntry> &entries,
                                    std::string &error) const
{
    std::string out;
    char mode[16];
    for (const auto &e : entries) {
        snprintf(mode, sizeof mode, "%o", e.mode);
        out += std::string(1, e.type) + "\t" + mode + "\t" + std::to_string(e.size) + "\t" +
               std::to_string(e.mtime) + "\t" + std::to_string(e.ino) + "\t" + SimText::escape(e.path);
        if (e.type == 'l')
            out += "\t" + SimText::escape(e.target);
        out += "\n";
    }
    return SimFiles::writeAtomic(snapDirPath + "/manifest", out, error);
}

bool SimDatasetStore::readClean(CleanMap &clean) const
{
    std::string text, error;
    clean.clear();
    if (!SimFiles::readAll(m_dir + "/clean", text, error))
        return false;
    for (const std::string &line : SimText::split(text, '\n')) {
        std::vector<std::string> f = SimText::split(line, '\t');
        if (f.size() < 10)
            continue;
        CleanRec r;
        r.live.type = f[0].empty() ? 'f' : f[0][0];
        r.live.path = SimText::unescape(f[1]);
        r.live.ino = strtoull(f[2].c_str(), nullptr, 10);
        r.live.size = strtoull(f[3].c_str(), nullptr, 10);
        r.live.mtime = strtoll(f[4].c_str(), nullptr, 10);
        r.live.ctime = strtoll(f[5].c_str(), nullptr, 10);
        r.live.mode = (uint32_t)strtoul(f[6].c_str(), nullptr, 10);
        r.snapId = strtoull(f[7].c_str(), nullptr, 10);
        r.snapIno = strtoull(f[8].c_str(), nullptr, 10);
        r.live.target = SimText::unescape(f[9]);
        clean[r.live.path] = r;
    }
    return true;
}

bool SimDatasetStore::writeClean(const CleanMap &clean, std::string &error) const
{
    std::string out;
    for (const auto &kv : clean) {
        const CleanRec &r = kv.second;
        out += std::string(1, r.live.type) + "\t" + SimText::escape(r.live.path) + "\t" +
               std::to_string(r.live.ino) + "\t" + std::to_string(r.live.size) + "\t" +
               std::to_string(r.live.mtime) + "\t" + std::to_string(r.live.ctime) + "\t" +
               std::to_string(r.live.mode) + "\t" + std::to_string(r.snapId) + "\t" +
               std::to_string(r.snapIno) + "\t" + SimText::escape(r.live.target) + "\n";
    }
    return SimFiles::writeAtomic(m_dir + "/clean", out, error);
}

bool SimDatasetStore::sameFile(const SimEntry &live, const CleanRec &rec)
{
    const SimEntry &c = rec.live;
    if (live.type != c.type)
        return false;
    switch (live.type) {
    case 'd': return live.mode == c.mode;
    case 'l': return live.target == c.target;
    default:
        return live.ino == c.ino && live.size == c.size && live.mtime == c.mtime &&
               live.ctime == c.ctime && live.mode == c.mode;
    }
}

bool SimDatasetStore::publish(const std::string &tmp, const std::vector<SimEntry> &man, uint64_t snapId,
                              std::string &error) const
{
    for (auto it = man.rbegin(); it != man.rend(); ++it)
        if (it->type == 'd') {
            const std::string path = tmp + "/data/" + it->path;
            chmod(path.c_str(), it->mode);
            setMtime(path, it->mtime);
        }
    if (!writeManifest(tmp, man, error))
        return false;
    // A directory of this id that no metadata names is left from a killed
    // run; it goes.
    SimFiles::makeWritable(snapDir(snapId));
    SimFiles::removeTree(snapDir(snapId), error);
    if (rename(tmp.c_str(), snapDir(snapId).c_str()) != 0) {
        error = sysError(snapDir(snapId));
        return false;
    }
    return true;
}

bool SimDatasetStore::capture(uint64_t snapId, std::string &error)
{
    std::vector<SimEntry> live;
    if (!walk(liveDir(), live, error))
        return false;
    CleanMap clean, fresh;
    readClean(clean);
    const std::string tmp = m_dir + "/snaps/.new-" + std::to_string(snapId);
    SimFiles::makeWritable(tmp);
    SimFiles::removeTree(tmp, error);
    if (!SimFiles::makeDirs(tmp + "/data", error))
        return false;
    std::vector<SimEntry> man;
    man.reserve(live.size());
    for (const SimEntry &e : live) {
        const std::string dst = tmp + "/data/" + e.path;
        SimEntry m = e;
        m.ctime = 0;
        if (e.type != 'f') {
            if (!makeNode(e, dst, error))
                return false;
            m.ino = 0;
        } else {
            bool reused = false;
            auto it = clean.find(e.path);
            if (it != clean.end() && sameFile(e, it->second)) {
                const std::string src = snapDataDir(it->second.snapId) + "/" + e.path;
                struct stat st;
                if (link(src.c_str(), dst.c_str()) == 0) {
                    if (stat(dst.c_str(), &st) == 0 && st.st_ino == it->second.snapIno)
                        reused = true;
                    else
                        unlink(dst.c_str());
                }
            }
            if (!reused &&
                !SimFiles::copyFile(liveDir() + "/" + e.path, dst, e.mode, e.mtime, error))
                return false;
            struct stat st;
            if (stat(dst.c_str(), &st) != 0) {
                error = sysError(dst);
                return false;
            }
            m.ino = st.st_ino;
        }
        man.push_back(m);
        fresh[e.path] = CleanRec{e, snapId, m.ino};
    }
    return publish(tmp, man, snapId, error) && writeClean(fresh, error);
}

bool SimDatasetStore::resetLive(uint64_t snapId, std::string &error)
{
    std::vector<SimEntry> man, live;
    if (!manifest(snapId, man, error) || !walk(liveDir(), live, error))
        return false;
    CleanMap clean, fresh;
    readClean(clean);
    std::map<std::string, const SimEntry *> byPath;
    for (const auto &m : man)
        byPath[m.path] = &m;
    SimFiles::makeWritable(liveDir());
    std::set<std::string> kept;
    for (auto it = live.rbegin(); it != live.rend(); ++it) {
        const SimEntry &e = *it;
        auto m = byPath.find(e.path);
        bool keep = m != byPath.end() && m->second->type == e.type;
        if (keep && e.type == 'l')
            keep = e.target == m->second->target;
        if (keep && e.type == 'f') {
            auto c = clean.find(e.path);
            keep = c != clean.end() && sameFile(e, c->second) && c->second.snapIno == m->second->ino;
        }
        const std::string path = liveDir() + "/" + e.path;
        if (keep) {
            kept.insert(e.path);
            if (e.type == 'f')
                fresh[e.path] = CleanRec{e, snapId, m->second->ino};
            continue;
        }
        if (e.type == 'd') {
            if (!SimFiles::removeTree(path, error))
                return false;
        } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = sysError(path);
            return false;
        }
    }
    for (const SimEntry &m : man) {
        const std::string path = liveDir() + "/" + m.path;
        if (kept.count(m.path))
            continue;
        if (m.type != 'f' ? !makeNode(m, path, error)
                          : !SimFiles::copyFile(snapDataDir(snapId) + "/" + m.path, path, m.mode, m.mtime, error))
            return false;
    }
    for (auto it = man.rbegin(); it != man.rend(); ++it)
        if (it->type == 'd') {
            const std::string path = liveDir() + "/" + it->path;
            chmod(path.c_str(), it->mode);
            setMtime(path, it->mtime);
        }
    // Record what the live files look like now.
    std::vector<SimEntry> now;
    if (!walk(liveDir(), now, error))
        return false;
    for (const SimEntry &e : now) {
        auto m = byPath.find(e.path);
        if (m == byPath.end())
            continue;
        if (e.type == 'f' && fresh.count(e.path))
            fresh[e.path].live = e;
        else
            fresh[e.path] = CleanRec{e, snapId, m->second->ino};
    }
    return writeClean(fresh, error);
}

bool SimDatasetStore::modifiedSince(uint64_t snapId)
{
    std::vector<SimEntry> man, live;
    std::string error;
    if (!manifest(snapId, man, error) || !walk(liveDir(), live, error))
        return true;
    if (man.size() != live.size())
        return true;
    CleanMap clean;
    readClean(clean);
    for (size_t i = 0; i < man.size(); i++) {
        const SimEntry &m = man[i];
        const SimEntry &e = live[i];
        if (m.path != e.path || m.type != e.type)
            return true;
        if (e.type == 'd' && e.mode != m.mode)
            return true;
        if (e.type == 'l' && e.target != m.target)
            return true;
        if (e.type == 'f') {
            auto c = clean.find(e.path);
            if (c == clean.end() || !sameFile(e, c->second) || c->second.snapIno != m.ino)
                return true;
        }
    }
    return false;
}

bool SimDatasetStore::buildSnapshot(uint64_t snapId, uint64_t baseId,
                                    const std::vector<SimChange> &changes, std::string &error)
{
    struct Item {
        SimEntry entry;
        std::string linkFrom;  // base snapshot file to hard-link
        std::string staged;    // received file to move in
    };
    std::map<std::string, Item> result;
    if (baseId) {
        std::vector<SimEntry> base;
        if (!manifest(baseId, base, error))
            return false;
        for (const auto &b : base)
            result[b.path] = Item{b, b.type == 'f' ? snapDataDir(baseId) + "/" + b.path : "", ""};
    }
    auto eraseTree = [&result](const std::string &path) {
        result.erase(path);
        const std::string prefix = path + "/";
        auto it = result.lower_bound(prefix);
        while (it != result.end() && SimText::startsWith(it->first, prefix))
            it = result.erase(it);
    };
    for (const SimChange &c : changes) {
        auto old = result.find(c.path);
        if (c.type == 'x' || (old != result.end() && old->second.entry.type != c.type) ||
            (old != result.end() && c.type != 'd'))
            eraseTree(c.path);
        if (c.type == 'x')
            continue;
        SimEntry e;
        e.type = c.type;
        e.path = c.path;
        e.mode = c.mode;
        e.mtime = c.mtime;
        e.size = c.size;
        e.target = c.target;
        result[c.path] = Item{e, "", c.staged};
    }
    const std::string tmp = m_dir + "/snaps/.new-" + std::to_string(snapId);
    SimFiles::makeWritable(tmp);
    SimFiles::removeTree(tmp, error);
    if (!SimFiles::makeDirs(tmp + "/data", error))
        return false;
    std::vector<SimEntry> man;
    for (auto &kv : result) {
        Item &item = kv.second;
        const size_t slash = kv.first.rfind('/');
        if (slash != std::string::npos) {
            auto parent = result.find(kv.first.substr(0, slash));
            if (parent == result.end() || parent->second.entry.type != 'd') {
                error = "entry without parent directory: " + kv.first;
                return false;
            }
        }
        const std::string dst = tmp + "/data/" + kv.first;
        SimEntry m = item.entry;
        m.ino = 0;
        if (m.type != 'f') {
            if (!makeNode(m, dst, error))
                return false;
        } else {
            if (!item.staged.empty()) {
                if (rename(item.staged.c_str(), dst.c_str()) != 0) {
                    error = sysError(dst);
                    return false;
                }
                chmod(dst.c_str(), m.mode);
                setMtime(dst, m.mtime);
            } else if (link(item.linkFrom.c_str(), dst.c_str()) != 0) {
                error = sysError(dst);
                return false;
            }
            struct stat st;
            if (stat(dst.c_str(), &st) != 0) {
                error = sysError(dst);
                return false;
            }
            m.ino = st.st_ino;
            m.size = (uint64_t)st.st_size;
        }
        man.push_back(m);
    }
    return publish(tmp, man, snapId, error);
}

bool SimDatasetStore::removeSnapshot(uint64_t snapId, std::string &error)
{
    SimFiles::makeWritable(snapDir(snapId));
    return SimFiles::removeTree(snapDir(snapId), error);
}

bool SimDatasetStore::usage(const std::vector<uint64_t> &snapIds, SimSpaceUsage &u, std::string &error)
{
    u = SimSpaceUsage();
    std::vector<SimEntry> live;
    if (!walk(liveDir(), live, error))
        return false;
    CleanMap clean;
    readClean(clean);
    std::set<uint64_t> liveShared;
    u.liveReferenced = kOverhead;
    for (const auto &e : live) {
        if (e.type != 'f')
            continue;
        u.liveReferenced += cost(e.size);
        auto c = clean.find(e.path);
        if (c != clean.end() && sameFile(e, c->second))
            liveShared.insert(c->second.snapIno);
    }
    std::map<uint64_t, std::vector<SimEntry>> manifests;
    std::map<uint64_t, std::pair<int, uint64_t>> inodes; // ino -> (snapshots holding it, size)
    for (uint64_t id : snapIds) {
        std::vector<SimEntry> &man = manifests[id];
        if (!manifest(id, man, error))
            return false;
        std::set<uint64_t> seen;
        uint64_t ref = kOverhead;
        for (const auto &e : man) {
            if (e.type != 'f')
                continue;
            ref += cost(e.size);
            if (seen.insert(e.ino).second) {
                auto &slot = inodes[e.ino];
                slot.first++;
                slot.second = e.size;
            }
        }
        u.snapReferenced[id] = ref;
    }
    for (const auto &kv : inodes)
        if (!liveShared.count(kv.first))
            u.snapshotsUsed += cost(kv.second.second);
    for (auto &kv : manifests) {
        uint64_t used = 0;
        std::set<uint64_t> seen;
        for (const auto &e : kv.second)
            if (e.type == 'f' && seen.insert(e.ino).second && inodes[e.ino].first == 1 &&
                !liveShared.count(e.ino))
                used += cost(e.size);
        u.snapUsed[kv.first] = used;
    }
    return true;
}

} // namespace zsim
