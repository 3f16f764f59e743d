#include "simroot.h"

#include "simfiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

std::string SimRoot::configuredPath()
{
    const char *env = getenv("ZFS_SIM_ROOT");
    return env && *env ? std::string(env) : std::string("/var/lib/zfs-sim");
}

void SimRoot::adoptOwner(const std::string &path)
{
    struct stat st;
    if (geteuid() != 0 || stat(path.c_str(), &st) != 0 || st.st_uid == 0)
        return;
    if (setgroups(0, nullptr) != 0 || setgid(st.st_gid) != 0 || setuid(st.st_uid) != 0) {
        // Carry on as root; files may then end up owned by root.
    }
}

uint64_t SimRoot::newGuid()
{
    uint64_t v = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &v, sizeof v) != (ssize_t)sizeof v)
            v = 0;
        ::close(fd);
    }
    if (v == 0) {
        std::random_device rd;
        v = ((uint64_t)rd() << 32) ^ rd() ^ (uint64_t)getpid();
    }
    return v ? v : 1;
}

std::string SimRoot::poolOf(const std::string &name)
{
    size_t end = name.find_first_of("/@#");
    return end == std::string::npos ? name : name.substr(0, end);
}

SimRoot::SimRoot(std::string path) : m_path(std::move(path)) {}

SimRoot::~SimRoot()
{
    close();
}

bool SimRoot::ensure(std::string &error)
{
    if (!SimFiles::makeDirs(m_path + "/pools", error) || !SimFiles::makeDirs(faultsDir(), error))
        return false;
    return true;
}

bool SimRoot::open(bool exclusive, std::string &error)
{
    close();
    struct stat st;
    if (stat(m_path.c_str(), &st) != 0) {
        if (!exclusive) {
            m_pools.clear();
            return true;
        }
        if (!ensure(error))
            return false;
    }
    const std::string lockPath = m_path + "/.lock";
    m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0)
        m_lockFd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_lockFd < 0) {
        error = lockPath + ": " + SimFiles::errnoText(errno);
        return false;
    }
    while (flock(m_lockFd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            error = lockPath + ": " + SimFiles::errnoText(errno);
            return false;
        }
    }
    return loadPools(error);
}

void SimRoot::close()
{
    if (m_lockFd >= 0) {
        flock(m_lockFd, LOCK_UN);
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

bool SimRoot::loadPools(std::string &error)
{
    m_pools.clear();
    const std::string dir = m_path + "/pools";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return true;
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name != "." && name != ".." && SimFiles::exists(dir + "/" + name + "/pool.meta"))
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto &name : names) {
        SimPool p;
        if (!p.load(dir + "/" + name + "/pool.meta", error))
            return false;
        m_pools.push_back(std::move(p));
    }
    return true;
}

SimPool *SimRoot::pool(const std::string &name)
{
    for (auto &p : m_pools)
        if (p.name == name)
            return &p;
    return nullptr;
}

bool SimRoot::save(const SimPool &pool, std::string &error)
{
    return pool.save(poolDir(pool.name) + "/pool.meta", error);
}

SimDatasetStore SimRoot::store(const SimPool &pool, const SimDataset &ds) const
{
    return SimDatasetStore(poolDir(pool.name) + "/ds/" + std::to_string(ds.id));
}

SimRoot::Found SimRoot::find(const std::string &name)
{
    Found f;
    f.pool = pool(poolOf(name));
    if (!f.pool)
        return f;
    size_t at = name.find('@');
    f.ds = f.pool->dataset(name.substr(0, at));
    if (f.ds && at != std::string::npos)
        f.snap = f.ds->snap(name.substr(at + 1));
    return f;
}

} // namespace zsim
