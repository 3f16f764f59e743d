#include "simzfsdata.h"

#include "simfiles.h"
#include "simprops.h"
#include "simspace.h"
#include "simstreamformat.h"
#include "simusage.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

namespace {

struct Target {
    std::string file;      // absolute path in the live files
    std::string shown;     // the path as seen through the mount point
    bool readonly = false;
    bool atime = true;
};

// Resolves DATASET FILE under the lock; prints the error and returns the
// exit status (0 when `t` is usable).
int resolve(SimRoot &root, const char *cmd, const std::vector<std::string> &args, Target &t)
{
    if (args.size() != 2 || !SimStreamFormat::safePath(args[1])) {
        fprintf(stderr, "usage: zfs %s <filesystem> <relative file>\n", cmd);
        return 2;
    }
    std::string error;
    if (!root.open(true, error))
        return SimUsage::internal(error);
    SimRoot::Found f = root.find(args[0]);
    if (!f.ds || f.snap || args[0].find('@') != std::string::npos) {
        fprintf(stderr, "cannot open '%s': dataset does not exist\n", args[0].c_str());
        return 1;
    }
    SimSpace space(root);
    SimProps props(space);
    const std::string mp = props.value(*f.pool, *f.ds, nullptr, "mountpoint", true).value;
    t.readonly = props.value(*f.pool, *f.ds, nullptr, "readonly", true).value == "on";
    t.atime = props.value(*f.pool, *f.ds, nullptr, "atime", true).value == "on";
    t.file = root.store(*f.pool, *f.ds).liveDir() + "/" + args[1];
    t.shown = (mp.empty() || mp[0] != '/' ? "/" + f.ds->name : mp) + "/" + args[1];
    return 0;
}

} // namespace

int SimZfsData::write(SimRoot &root, const std::vector<std::string> &args)
{
    Target t;
    if (int rc = resolve(root, "sim-write", args, t))
        return rc;
    if (t.readonly) {
        fprintf(stderr, "%s: %s\n", t.shown.c_str(), SimFiles::errnoText(EROFS).c_str());
        return 1;
    }
    const int fd = open(t.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "%s: %s\n", t.shown.c_str(), SimFiles::errnoText(errno).c_str());
        return 1;
    }
    char buf[65536];
    ssize_t n;
    while ((n = ::read(STDIN_FILENO, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t done = 0; n > 0 && done < n;) {
            const ssize_t w = ::write(fd, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                fprintf(stderr, "%s: %s\n", t.shown.c_str(), SimFiles::errnoText(errno).c_str());
                close(fd);
                return 1;
            }
            done += w;
        }
    }
    close(fd);
    return 0;
}

int SimZfsData::read(SimRoot &root, const std::vector<std::string> &args)
{
    Target t;
    if (int rc = resolve(root, "sim-read", args, t))
        return rc;
    std::string text, error;
    if (!SimFiles::readAll(t.file, text, error)) {
        fprintf(stderr, "%s: %s\n", t.shown.c_str(), SimFiles::errnoText(errno).c_str());
        return 1;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    if (t.atime && !t.readonly) {
        const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
        utimensat(AT_FDCWD, t.file.c_str(), times, 0);
    }
    return 0;
}

} // namespace zsim
