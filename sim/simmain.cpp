// Entry point of the zfs/zpool simulator. The program acts as `zpool` when
// started under that name (or as `zfs-sim zpool ...`) and as `zfs`
// otherwise; its state lives under $ZFS_SIM_ROOT (see SimRoot).
#include "simargs.h"
#include "simfaults.h"
#include "simjson.h"
#include "simroot.h"
#include "simusage.h"
#include "simversion.h"
#include "simzfsdata.h"
#include "simzfsbookmark.h"
#include "simzfsdestroy.h"
#include "simzfsget.h"
#include "simzfsholds.h"
#include "simzfskey.h"
#include "simzfslist.h"
#include "simzfsrecv.h"
#include "simzfssend.h"
#include "simzfsset.h"
#include "simzfssnapshot.h"
#include "simzpool.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zsim;

namespace {

std::string baseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Reads and drops stdin, so a writer feeding a failing `zfs recv` finishes.
void drainStdin()
{
    char buf[65536];
    while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
}

// `zfs version` / `zpool version` [-j]: the release's two lines, or with -j (2.3 on)
// {"output_version":{...},"zfs_version":{"userland":"zfs-2.3.0-1","kernel":"zfs-kmod-2.3.0-1"}}
int version(const std::string &tool, const std::vector<std::string> &args)
{
    const SimVersion &v = SimVersion::current();
    if (!v.hasJson()) {
        // Before 2.3 the command took no options and ignored its arguments.
        fputs(v.versionLines().c_str(), stdout);
        return 0;
    }
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("j", {{"json", 'j', false}}, error))
        return SimUsage::fail(tool, "version", error);
    if (!parser.operands().empty()) {
        fputs("too many arguments\n", stderr);
        return SimUsage::fail(tool, "version", "");
    }
    if (parser.options().empty()) {
        fputs(v.versionLines().c_str(), stdout);
        return 0;
    }
    SimJson j;
    j.beginObject();
    j.outputVersion(tool + " version");
    j.key("zfs_version");
    j.beginObject();
    j.key("userland");
    j.string("zfs-" + v.text() + "-1");
    j.key("kernel");
    j.string("zfs-kmod-" + v.text() + "-1");
    j.endObject();
    j.endObject();
    printf("%s\n", j.text().c_str());
    return 0;
}

int runZfs(SimRoot &root, const std::string &cmd, const std::vector<std::string> &args)
{
    if (cmd == "list") return SimZfsList::run(root, args);
    if (cmd == "get") return SimZfsGet::run(root, args);
    if (cmd == "set") return SimZfsSet::set(root, args);
    if (cmd == "inherit") return SimZfsSet::inherit(root, args);
    if (cmd == "create") return SimZfsSet::create(root, args);
    if (cmd == "sim-path") return SimZfsSet::simPath(root, args);
    if (cmd == "sim-write") return SimZfsData::write(root, args);
    if (cmd == "sim-read") return SimZfsData::read(root, args);
    if (cmd == "snapshot" || cmd == "snap") return SimZfsSnapshot::snapshot(root, args);
    if (cmd == "bookmark") return SimZfsBookmark::bookmark(root, args);
    if (cmd == "rename") return SimZfsSnapshot::rename(root, args);
    if (cmd == "destroy") return SimZfsDestroy::run(root, args);
    if (cmd == "holds") return SimZfsHolds::holds(root, args);
    if (cmd == "hold") return SimZfsHolds::hold(root, args);
    if (cmd == "release") return SimZfsHolds::release(root, args);
    if (cmd == "send") return SimZfsSend::run(root, args);
    if (cmd == "load-key") return SimZfsKey::load(root, args);
    if (cmd == "unload-key") return SimZfsKey::unload(root, args);
    if (cmd == "receive" || cmd == "recv") return SimZfsRecv::run(root, args);
    if (cmd == "version") return version("zfs", args);
    fprintf(stderr, "unrecognized command '%s'\n", cmd.c_str());
    return SimUsage::fail("zfs", "", "");
}

int runZpool(SimRoot &root, const std::string &cmd, const std::vector<std::string> &args)
{
    if (cmd == "list") return SimZpool::list(root, args);
    if (cmd == "create") return SimZpool::create(root, args);
    if (cmd == "destroy") return SimZpool::destroy(root, args);
    if (cmd == "version") return version("zpool", args);
    fprintf(stderr, "unrecognized command '%s'\n", cmd.c_str());
    return SimUsage::fail("zpool", "", "");
}

} // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string tool = baseName(argv[0]);
    if (tool != "zfs" && tool != "zpool") {
        if (!words.empty() && (words[0] == "zfs" || words[0] == "zpool")) {
            tool = words[0];
            words.erase(words.begin());
        } else {
            tool = "zfs";
        }
    }
    if (words.empty()) {
        fputs("missing command\n", stderr);
        return SimUsage::fail(tool, "", "");
    }
    const std::string cmd = words[0];
    words.erase(words.begin());

    const std::string path = SimRoot::configuredPath();
    SimRoot::adoptOwner(path);
    SimRoot root(path);
    SimVersion::load(root.faultsDir());
    const std::string knob = cmd == "receive" ? "recv" : cmd == "snap" ? "snapshot" : cmd;
    std::string message;
    if (SimFaults(root.faultsDir()).commandFails(knob, message)) {
        if (knob == "recv")
            drainStdin();
        fputs(message.c_str(), stderr);
        return 1;
    }
    return tool == "zpool" ? runZpool(root, cmd, words) : runZfs(root, cmd, words);
}
