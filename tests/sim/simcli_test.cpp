// The simulator program as callers see it: exit codes and error texts of
// OpenZFS 2.3, listings computed from real data, send/receive chains that
// carry the data byte for byte, and the fault knobs. Every test runs the
// binary through /bin/sh on a private state root; no root rights needed.
#include "simshell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

namespace {

// Pools tank and backup; tank/data holding a few files, a directory and a link.
const char *kSetup = R"(set -e
zpool create tank 1G
zpool create backup 1G
zfs create tank/data
D=$(zfs sim-path tank/data)
printf 'alpha\n' > "$D/a.txt"
head -c 200000 /dev/urandom > "$D/b.bin"
mkdir "$D/sub"
printf 'gamma\n' > "$D/sub/c.txt"
ln -s a.txt "$D/link"
)";

std::string setup(const std::string &more = std::string())
{
    return std::string(kSetup) + more + "\n";
}

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

} // namespace

// Every row: a scenario, one command, the exact stderr and exit status zfs
// gives for it.
TEST(SimCli, ErrorMessagesAndExitCodes)
{
    struct Row {
        const char *name;
        const char *scenario;
        const char *command;
        const char *stderrText;
        int rc;
    };
    const char *dstFromA = "zfs snapshot tank/data@a; zfs snapshot tank/data@b; zfs snapshot tank/data@c\n"
                           "zfs send tank/data@a | zfs recv tank/dst\n";
    const std::vector<Row> rows = {
        {"full stream onto existing", dstFromA, "zfs send tank/data@a | zfs recv tank/dst",
         "cannot receive new filesystem stream: destination 'tank/dst' exists\nmust specify -F to overwrite it\n", 1},
        {"-F onto a destination with snapshots", dstFromA, "zfs send tank/data@a | zfs recv -F tank/dst",
         "cannot receive new filesystem stream: destination has snapshots (eg. tank/dst@a)\n"
         "must destroy them to overwrite it\n",
         1},
        {"destination modified", "zfs snapshot tank/data@a; zfs snapshot tank/data@b\n"
                                 "zfs send tank/data@a | zfs recv tank/dst\n"
                                 "echo local > \"$(zfs sim-path tank/dst)/local.txt\"\n",
         "zfs send -i @a tank/data@b | zfs recv tank/dst",
         "cannot receive incremental stream: destination tank/dst has been modified\nsince most recent snapshot\n", 1},
        {"base not on destination", dstFromA, "zfs send -i @b tank/data@c | zfs recv tank/dst",
         "cannot receive incremental stream: most recent snapshot of tank/dst does not\nmatch incremental source\n",
         1},
        {"incremental to a missing destination", "zfs snapshot tank/data@a; zfs snapshot tank/data@b\n",
         "zfs send -i @a tank/data@b | zfs recv tank/dst",
         "cannot receive incremental stream: destination 'tank/dst' does not exist\n", 1},
        {"snapshot name taken by another guid",
         "zfs snapshot tank/data@a; zfs snapshot tank/data@b\nzfs send tank/data@a | zfs recv tank/dst\n"
         "zfs snapshot tank/dst@b\n",
         "zfs send -i @a tank/data@b | zfs recv tank/dst", "cannot restore to tank/dst@b: destination already exists\n",
         1},
        {"snapshot already received", "zfs snapshot tank/data@a; zfs snapshot tank/data@b\n"
                                      "zfs send tank/data@a | zfs recv tank/dst\n"
                                      "zfs send -i @a tank/data@b | zfs recv tank/dst\n",
         "zfs send -i @a tank/data@b | zfs recv tank/dst", "", 0},
        {"parent of the destination missing", "zfs snapshot tank/data@a\n",
         "zfs send tank/data@a | zfs recv tank/nope/dst",
         "cannot open 'tank/nope': dataset does not exist\n"
         "cannot receive new filesystem stream: unable to restore to destination\n",
         1},
        {"destroy a held snapshot", "zfs snapshot tank/data@a; zfs hold keep tank/data@a\n", "zfs destroy tank/data@a",
         "cannot destroy snapshot tank/data@a: it's being held. Run 'zfs holds -r tank/data@a' to see holders.\n", 1},
        {"destroy a missing snapshot", "", "zfs destroy tank/data@nope",
         "could not find any snapshots to destroy; check snapshot names.\n", 1},
        {"snapshot name exists", "zfs snapshot tank/data@a\n", "zfs snapshot tank/data@a",
         "cannot create snapshot 'tank/data@a': dataset already exists\n", 1},
        {"snapshot name exists, recursive", "zfs snapshot tank/data@a\n", "zfs snapshot -r tank/data@a",
         "cannot create snapshot 'tank/data@a': dataset already exists\nno snapshots were created\n", 1},
        {"list a missing dataset", "", "zfs list tank/nope", "cannot open 'tank/nope': dataset does not exist\n", 1},
        {"get on a missing dataset", "", "zfs get name tank/nope",
         "cannot open 'tank/nope': dataset does not exist\n", 1},
        {"set on a missing dataset", "", "zfs set mountpoint=/x tank/nope",
         "cannot open 'tank/nope': dataset does not exist\n", 1},
        {"destroy a missing dataset", "", "zfs destroy tank/nope",
         "cannot open 'tank/nope': dataset does not exist\n", 1},
        {"send a missing snapshot", "", "zfs send tank/nope@x > /dev/null",
         "cannot open 'tank/nope@x': dataset does not exist\n", 1},
        {"hold under a missing dataset", "", "zfs hold t tank/nope@x",
         "cannot open 'tank/nope': dataset does not exist\n", 1},
        {"holds of a missing snapshot", "", "zfs holds tank/data@nope",
         "cannot open 'tank/data@nope': dataset does not exist\nno datasets available\n", 1},
        {"hold a missing snapshot", "", "zfs hold keep tank/data@nope",
         "cannot hold snapshot 'tank/data@nope': dataset does not exist\n", 1},
        {"hold twice", "zfs snapshot tank/data@a; zfs hold keep tank/data@a\n", "zfs hold keep tank/data@a",
         "cannot hold snapshot 'tank/data@a': tag already exists on this dataset\n", 1},
        {"release an absent tag", "zfs snapshot tank/data@a\n", "zfs release keep tank/data@a",
         "cannot release hold from snapshot 'tank/data@a': no such tag on this dataset\n", 1},
        {"release on a missing snapshot", "", "zfs release keep tank/data@nope",
         "cannot release hold from snapshot 'tank/data@nope': dataset does not exist\n", 1},
        {"incremental from a later snapshot", "zfs snapshot tank/data@a; zfs snapshot tank/data@b\n",
         "zfs send -i @b tank/data@a > /dev/null",
         "warning: cannot send 'tank/data@a': not an earlier snapshot from the same fs\n", 1},
        {"relative mount point", "", "zfs set mountpoint=relative tank/data",
         "cannot set property for 'tank/data': 'mountpoint' must be an absolute path, 'none', or 'legacy'\n", 1},
        {"missing pool", "", "zpool list nope", "cannot open 'nope': no such pool\n", 1},
        {"listing that matches nothing", "", "zfs list -t snapshot tank/data", "no datasets available\n", 0},
        {"garbage stream", "", "echo 'not a zfs stream at all' | zfs recv tank/x",
         "cannot receive: invalid stream (bad magic number)\n", 1},
        {"empty stream", "", "zfs recv tank/x < /dev/null", "cannot receive: failed to read from stream\n", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SimShell sh;
        sh.ok(setup(row.scenario));
        SimShell::Result r = sh.run(row.command);
        EXPECT_EQ(r.err, row.stderrText);
        EXPECT_EQ(r.rc, row.rc);
    }
}

TEST(SimCli, UsageErrorsExitTwo)
{
    SimShell sh;
    sh.ok(setup());
    struct Row {
        const char *command;
        const char *firstLines;
    };
    const std::vector<Row> rows = {
        {"zfs snapshot tank/nope@x",
         "cannot open 'tank/nope': dataset does not exist\nusage:\n"
         "\tsnapshot [-r] [-o property=value] ... <filesystem|volume>@<snap> ...\n"},
        {"zfs list -x", "invalid option 'x'\nusage:\n\tlist "},
        {"zfs list --json-int", "'--json-int' only works with '-j' option\nusage:\n"},
        {"zfs list -o nosuchprop", "bad property list: invalid property 'nosuchprop'\nusage:\n"},
        {"zfs hold .tag tank/data@a", "tag may not start with '.'\nusage:\n\thold [-r] <tag> <snapshot> ...\n"},
        {"zfs frobnicate", "unrecognized command 'frobnicate'\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        SimShell::Result r = sh.run(row.command);
        EXPECT_EQ(r.rc, 2);
        EXPECT_EQ(r.err.substr(0, strlen(row.firstLines)), row.firstLines) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(SimCli, TerminalChecksUseThePseudoTerminalOfScript)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    SimShell::Result send = sh.run("script -qec 'zfs send tank/data@a' /dev/null");
    EXPECT_EQ(send.rc, 1);
    EXPECT_NE(send.out.find("Error: Stream can not be written to a terminal.\r\nYou must redirect standard output."),
              std::string::npos)
        << send.out;
    SimShell::Result recv = sh.run("script -qec 'zfs recv tank/x' /dev/null");
    EXPECT_EQ(recv.rc, 1);
    EXPECT_NE(recv.out.find("Error: Backup stream can not be read from a terminal.\r\nYou must redirect standard input."),
              std::string::npos)
        << recv.out;
}

TEST(SimCli, JsonListingMatchesTheTextListingOfTheSameData)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@z; echo more >> \"$D/a.txt\"; zfs snapshot tank/data@a"));
    // Snapshots in creation order (z before a), one JSON line, fixed key order.
    const std::string text = sh.ok("zfs list -t snapshot -Hp -o name,createtxg,used,refer tank/data");
    std::regex line("([^\t]+)@([^\t]+)\t(\\d+)\t(\\d+)\t(\\d+)\n");
    std::string expected = "{\"output_version\":{\"command\":\"zfs list\",\"vers_major\":0,\"vers_minor\":1},"
                           "\"datasets\":{";
    int count = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
        const auto &m = *it;
        if (count++)
            expected += ",";
        const std::string name = m[1].str() + "@" + m[2].str();
        expected += "\"" + name + "\":{\"name\":\"" + name + "\",\"type\":\"SNAPSHOT\",\"pool\":\"tank\",\"createtxg\":\"" +
                    m[3].str() + "\",\"dataset\":\"" + m[1].str() + "\",\"snapshot_name\":\"" + m[2].str() +
                    "\",\"properties\":{\"used\":{\"value\":\"" + m[4].str() +
                    "\",\"source\":{\"type\":\"NONE\",\"data\":\"-\"}},\"referenced\":{\"value\":\"" + m[5].str() +
                    "\",\"source\":{\"type\":\"NONE\",\"data\":\"-\"}}}}";
    }
    expected += "}}\n";
    ASSERT_EQ(count, 2) << text;
    EXPECT_LT(text.find("tank/data@z"), text.find("tank/data@a"));
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -pjo name,used,refer tank/data"), expected);
}

TEST(SimCli, ListingSelection)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/child; zfs snapshot -r tank/data@s"));
    EXPECT_EQ(sh.ok("zfs list -H -o name"), "backup\ntank\ntank/data\ntank/data/child\n") << "no snapshots by default";
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name tank/data"), "tank/data@s\n") << "one level without -r";
    EXPECT_EQ(sh.ok("zfs list -r -t snapshot -H -o name tank/data"), "tank/data@s\ntank/data/child@s\n");
    EXPECT_EQ(sh.ok("zfs list -d 1 -H -o name tank"), "tank\ntank/data\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name tank/data@s"), "tank/data@s\n") << "a named snapshot is listed";
    EXPECT_EQ(sh.ok("zfs list -r -t all -H -o name tank/data"),
              "tank/data\ntank/data@s\ntank/data/child\ntank/data/child@s\n");
    EXPECT_NE(sh.ok("zfs list -pj -o name tank").find("\"properties\":{}"), std::string::npos);

    SimShell::Result text = sh.run("zfs list -H -o name tank nope/x tank/data");
    EXPECT_EQ(text.rc, 1);
    EXPECT_EQ(text.out, "tank\ntank/data\n") << "text mode lists what exists";
    SimShell::Result json = sh.run("zfs list -j tank nope/x");
    EXPECT_EQ(json.rc, 1);
    EXPECT_EQ(json.out, "") << "JSON mode prints nothing after an error";

    SimShell::Result empty = sh.run("zfs list -H -j -t snapshot tank/data/child -d 0");
    EXPECT_EQ(empty.out, "{\"output_version\":{\"command\":\"zfs list\",\"vers_major\":0,\"vers_minor\":1},"
                         "\"datasets\":{}}\n");
    EXPECT_EQ(empty.err, "") << "-H silences 'no datasets available'";
}

TEST(SimCli, SpaceFollowsTheData)
{
    SimShell sh;
    sh.ok(setup());
    auto num = [&](const std::string &cmd) { return std::stoull(trim(sh.ok(cmd))); };
    const uint64_t used0 = num("zfs get -Hp -o value used tank/data");
    const uint64_t avail0 = num("zfs get -Hp -o value available tank/data");
    const uint64_t free0 = num("zpool list -Hp -o free tank");
    sh.ok("head -c 2097152 /dev/urandom > \"$(zfs sim-path tank/data)/big\"");
    EXPECT_GE(num("zfs get -Hp -o value used tank/data"), used0 + 2097152);
    EXPECT_LE(num("zfs get -Hp -o value available tank/data"), avail0 - 2097152);
    EXPECT_LE(num("zpool list -Hp -o free tank"), free0 - 2097152);
    EXPECT_GE(num("zfs get -Hp -o value used tank"), num("zfs get -Hp -o value used tank/data"))
        << "a parent's used includes its children";

    sh.ok("zfs snapshot tank/data@s");
    EXPECT_EQ(num("zfs get -Hp -o value used tank/data@s"), 0u) << "nothing unique yet";
    EXPECT_EQ(num("zfs get -Hp -o value referenced tank/data@s"), num("zfs get -Hp -o value referenced tank/data"));
    sh.ok("rm \"$(zfs sim-path tank/data)/big\"");
    EXPECT_GE(num("zfs get -Hp -o value used tank/data@s"), 2097152u) << "the snapshot alone holds the file now";
    EXPECT_GE(num("zfs get -Hp -o value usedbysnapshots tank/data"), 2097152u);
    sh.ok("zfs destroy tank/data@s");
    EXPECT_LT(num("zfs get -Hp -o value used tank/data"), used0 + 4096);
}

TEST(SimCli, FullPoolRefusesReceives)
{
    SimShell sh;
    sh.ok("zpool create small 64M && zfs create small/data && "
          "head -c 20000000 /dev/urandom > \"$(zfs sim-path small/data)/f\" && zfs snapshot small/data@s");
    SimShell::Result r = sh.run("zfs send small/data@s | zfs recv small/copy");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "cannot receive new filesystem stream: out of space\n");
    EXPECT_EQ(sh.run("zfs list small/copy").rc, 1) << "nothing was created";
    EXPECT_EQ(sh.ok("ls \"$ZFS_SIM_ROOT/pools/small/tmp\""), "") << "staging cleaned up";
}

TEST(SimCli, FullThenIncrementalCarriesTheData)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    sh.ok("zfs send tank/data@a | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));

    // Changed, added, removed and retyped entries.
    sh.ok("D=$(zfs sim-path tank/data); echo changed >> \"$D/a.txt\"; rm -r \"$D/sub\"; mkdir -p \"$D/new/deep\";"
          "head -c 70000 /dev/urandom > \"$D/new/deep/x\"; rm \"$D/link\"; mkdir \"$D/link\"; chmod 700 \"$D/new\";"
          "zfs snapshot tank/data@b");
    EXPECT_NE(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
    sh.ok("zfs send -i @a tank/data@b | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
    EXPECT_EQ(SimShell::tree(sh.data("backup/data@a")), SimShell::tree(sh.data("tank/data@a")))
        << "the older snapshot keeps its own content";
    EXPECT_EQ(sh.ok("zfs get -Hp -o value guid tank/data@b"), sh.ok("zfs get -Hp -o value guid backup/data@b"));
    EXPECT_NE(sh.ok("zfs get -Hp -o value guid tank/data"), sh.ok("zfs get -Hp -o value guid backup/data"))
        << "a received file system gets its own guid";
}

TEST(SimCli, ReplicationPackageSkipsSnapshotsAlreadyPresent)
{
    SimShell sh;
    sh.ok(setup("for s in a b c; do echo $s >> \"$D/a.txt\"; zfs snapshot tank/data@$s; done\n"
                "zfs send tank/data@a | zfs recv backup/data\n"
                "zfs send -i @a tank/data@b | zfs recv backup/data"));
    SimShell::Result r = sh.run("zfs send -R -I @a tank/data@c | zfs recv -v backup/data");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("snap backup/data@b already exists; ignoring"), std::string::npos) << r.out;
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name backup/data"), "backup/data@a\nbackup/data@b\nbackup/data@c\n");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
    // Sending the same range again changes nothing and succeeds.
    EXPECT_EQ(sh.run("zfs send -R -I @a tank/data@c | zfs recv backup/data").rc, 0);
    // A one-snapshot range is an empty package.
    EXPECT_EQ(sh.run("zfs send -R -I tank/data@c tank/data@c | zfs recv backup/data").rc, 0);
}

TEST(SimCli, DivergedDestinationIsRefusedUnlessForced)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a; echo b >> \"$D/a.txt\"; zfs snapshot tank/data@b\n"
                "zfs send tank/data@a | zfs recv backup/data\n"
                "B=$(zfs sim-path backup/data); echo foreign > \"$B/foreign.txt\"; zfs snapshot backup/data@x"));
    SimShell::Result refused = sh.run("zfs send -i @a tank/data@b | zfs recv backup/data");
    EXPECT_EQ(refused.rc, 1);
    EXPECT_EQ(refused.err, "cannot receive incremental stream: destination backup/data has been modified\n"
                           "since most recent snapshot\n");
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name backup/data"), "backup/data@a\nbackup/data@x\n");

    sh.ok("zfs send -i @a tank/data@b | zfs recv -F backup/data");
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name backup/data"), "backup/data@a\nbackup/data@b\n")
        << "-F destroyed the snapshot newer than the base";
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));

    sh.ok("echo x > \"$(zfs sim-path backup/data)/y\"; zfs snapshot backup/data@keep; zfs hold pin backup/data@keep;"
          "zfs snapshot tank/data@c");
    SimShell::Result busy = sh.run("zfs send -i @b tank/data@c | zfs recv -F backup/data");
    EXPECT_EQ(busy.rc, 1);
    EXPECT_EQ(busy.err, "cannot receive incremental stream: dataset is busy\n");
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name backup/data"), "backup/data@a\nbackup/data@b\nbackup/data@keep\n");
}

TEST(SimCli, CutOrCorruptedStreamLeavesTheDestinationUnchanged)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a; head -c 300000 /dev/urandom > \"$D/more\"; zfs snapshot tank/data@b\n"
                "zfs send tank/data@a | zfs recv backup/data"));
    const auto before = SimShell::tree(sh.data("backup/data"));
    const std::string snapsBefore = sh.ok("zfs list -t snapshot -Hp -o name,guid backup/data");
    struct Row {
        const char *name;
        const char *command;
        const char *stderrText;
    };
    const std::vector<Row> rows = {
        {"cut in the data", "zfs send -i @a tank/data@b | head -c 150000 | zfs recv backup/data",
         "cannot receive incremental stream: incomplete stream\n"},
        {"cut in the end record", "zfs send -i @a tank/data@b > s; head -c $(( $(wc -c < s) - 5 )) s | zfs recv backup/data",
         "cannot receive incremental stream: incomplete stream\n"},
        {"one byte flipped",
         "zfs send -i @a tank/data@b > s; printf '\\377' | dd of=s bs=1 seek=100000 conv=notrunc 2>/dev/null;"
         "zfs recv backup/data < s",
         "cannot receive incremental stream: checksum mismatch\n"},
        {"package cut", "zfs send -R -I @a tank/data@b | head -c 1000 | zfs recv backup/data",
         "cannot receive incremental stream: incomplete stream\n"},
        {"full stream cut", "zfs send tank/data@b | head -c 1000 | zfs recv backup/other",
         "cannot receive new filesystem stream: incomplete stream\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SimShell::Result r = sh.run(row.command);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.err, row.stderrText);
        EXPECT_EQ(SimShell::tree(sh.data("backup/data")), before);
        EXPECT_EQ(sh.ok("zfs list -t snapshot -Hp -o name,guid backup/data"), snapsBefore);
        EXPECT_EQ(sh.run("zfs list backup/other").rc, 1);
        EXPECT_EQ(sh.ok("ls \"$ZFS_SIM_ROOT/pools/backup/tmp\""), "");
    }
    sh.ok("zfs send -i @a tank/data@b | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimCli, DryRunSizesMatchTheStream)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/child; echo c > \"$(zfs sim-path tank/data/child)/f\"\n"
                "zfs snapshot -r tank/data@a; echo b >> \"$D/a.txt\"; zfs snapshot -r tank/data@b"));
    auto dry = [&](const std::string &args) {
        std::string out = sh.ok("zfs send -nvP " + args);
        size_t p = out.rfind("size\t");
        return std::stoull(out.substr(p + 5));
    };
    auto real = [&](const std::string &args) { return std::stoull(trim(sh.ok("zfs send " + args + " | wc -c"))); };
    EXPECT_EQ(dry("tank/data@a"), real("tank/data@a"));
    EXPECT_EQ(dry("-i @a tank/data@b"), real("-i @a tank/data@b"));
    for (const char *package : {"-R tank/data@b", "-R -I @a tank/data@b", "-I @a tank/data@b"}) {
        SCOPED_TRACE(package);
        const uint64_t estimate = dry(package), actual = real(package);
        EXPECT_LE(estimate, actual);
        EXPECT_LT(actual - estimate, 1024u) << "only the package header is not estimated";
    }
    const std::string r = sh.ok("zfs send -nvP -R tank/data@b");
    EXPECT_TRUE(std::regex_match(r, std::regex("full\ttank/data@a\t\\d+\nincremental\ta\ttank/data@b\t\\d+\n"
                                               "full\ttank/data/child@a\t\\d+\nincremental\ta\ttank/data/child@b\t\\d+\n"
                                               "size\t\\d+\n")))
        << r;
    SimShell::Result bare = sh.run("zfs send -nvP -i a tank/data@b");
    EXPECT_TRUE(std::regex_match(bare.out, std::regex("incremental\ttank/data@a\ttank/data@b\t\\d+\nsize\t\\d+\n")));
    EXPECT_EQ(bare.err, "Warning: incremental source didn't specify type, assuming snapshot. "
                        "Use '@' or '#' prefix to avoid ambiguity.\n");
    EXPECT_EQ(sh.ok("zfs send -n tank/data@a"), "") << "-n alone prints nothing";
}

TEST(SimCli, RecursivePackageReplicatesChildrenAndProperties)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/child; head -c 5000 /dev/urandom > \"$(zfs sim-path tank/data/child)/f\"\n"
                "zfs set mountpoint=/srv tank/data; zfs snapshot -r tank/data@a"));
    sh.ok("zfs send -R tank/data@a | zfs recv -u backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data/child")), SimShell::tree(sh.data("tank/data/child")));
    EXPECT_EQ(sh.ok("zfs get -H -o value,source mountpoint backup/data backup/data/child"),
              "/srv\treceived\n/srv/child\tinherited from backup/data\n");
    EXPECT_EQ(sh.ok("zfs get -H -o value mounted backup/data"), "no\n") << "-u leaves it unmounted";
    sh.ok("zfs set mountpoint=/mnt/backup/data backup/data");
    EXPECT_EQ(sh.ok("zfs get -H -o value,source mountpoint,mounted backup/data"),
              "/mnt/backup/data\tlocal\nyes\t-\n");
    EXPECT_EQ(sh.ok("zfs get -pj mountpoint backup/data/child").find(
                  "\"mountpoint\":{\"value\":\"/mnt/backup/data/child\",\"source\":{\"type\":\"INHERITED\","
                  "\"data\":\"backup/data\"}}") != std::string::npos,
              true);
}

TEST(SimCli, ForcedFullReceiveReplacesAnEmptyFileSystem)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a; zfs create backup/data; echo old > \"$(zfs sim-path backup/data)/old\""));
    sh.ok("zfs send tank/data@a | zfs recv -F backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimCli, HoldsLifecycle)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/child; zfs snapshot -r tank/data@s"));
    sh.ok("zfs hold keep tank/data@s; zfs hold -r replica tank/data@s");
    const std::string h = sh.ok("zfs holds -rH tank/data@s");
    EXPECT_TRUE(std::regex_match(h, std::regex("tank/data@s\tkeep\t\\w{3} \\w{3} [ 123]\\d \\d\\d:\\d\\d \\d{4}\n"
                                               "tank/data@s\treplica\t.*\ntank/data/child@s\treplica\t.*\n")))
        << h;
    EXPECT_TRUE(std::regex_match(sh.ok("zfs holds -Hp tank/data/child@s"),
                                 std::regex("tank/data/child@s\treplica\t\\d{10}\n")));
    EXPECT_EQ(sh.ok("zfs get -H -o value userrefs tank/data@s"), "2\n");
    EXPECT_EQ(sh.run("zfs destroy -r tank/data").rc, 1) << "held snapshots block a recursive destroy";
    sh.ok("zfs release -r replica tank/data@s; zfs release keep tank/data@s");
    EXPECT_EQ(sh.ok("zfs holds tank/data@s"), "");
    sh.ok("zfs destroy -r tank/data");
    EXPECT_EQ(sh.ok("zfs list -H -o name -r tank"), "tank\n");
}

TEST(SimCli, DestroyAndRename)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/child; zfs snapshot -r tank/data@s"));
    SimShell::Result children = sh.run("zfs destroy tank/data");
    EXPECT_EQ(children.rc, 1);
    EXPECT_EQ(children.err, "cannot destroy 'tank/data': filesystem has children\n"
                            "use '-r' to destroy the following datasets:\n"
                            "tank/data@s\ntank/data/child\ntank/data/child@s\n");
    SimShell::Result pool = sh.run("zfs destroy tank");
    EXPECT_EQ(pool.err, "cannot destroy 'tank': operation does not apply to pools\n"
                        "use 'zfs destroy -r tank' to destroy all datasets in the pool\n"
                        "use 'zpool destroy tank' to destroy the pool itself\n");

    const auto content = SimShell::tree(sh.data("tank/data"));
    sh.ok("zfs rename tank/data tank/moved; zfs rename tank/moved@s @t");
    EXPECT_EQ(sh.ok("zfs list -r -t all -H -o name tank"),
              "tank\ntank/moved\ntank/moved@t\ntank/moved/child\ntank/moved/child@s\n");
    EXPECT_EQ(SimShell::tree(sh.data("tank/moved")), content);
    EXPECT_EQ(sh.run("zfs rename tank/moved backup/x").err,
              "cannot rename to 'backup/x': datasets must be within same pool\n");

    const std::string dir = sh.data("tank/moved/child");
    sh.ok("zfs destroy -r tank/moved");
    EXPECT_EQ(sh.ok("zfs list -H -o name -r tank"), "tank\n");
    EXPECT_EQ(sh.run("test -e '" + dir + "'").rc, 1) << "the files went with the dataset";
}

TEST(SimCli, ZpoolListings)
{
    SimShell sh;
    EXPECT_EQ(sh.ok("zpool list"), "no pools available\n");
    EXPECT_EQ(sh.ok("zpool list -j"), "") << "JSON prints nothing without pools";
    sh.ok(setup());
    SimShell::Result some = sh.run("zpool list -H -o name tank nope");
    EXPECT_EQ(some.rc, 0);
    EXPECT_EQ(some.out, "tank\n");
    EXPECT_EQ(some.err, "cannot open 'nope': no such pool\n");
    EXPECT_EQ(sh.ok("zpool list -Hpo name,size"), "backup\t1073741824\ntank\t1073741824\n");
    const std::string text = sh.ok("zpool list");
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "NAME     SIZE  ALLOC   FREE  CKPOINT  EXPANDSZ   FRAG    CAP  DEDUP  HEALTH  ALTROOT");
    EXPECT_TRUE(std::regex_search(sh.ok("zpool list -j --json-int -o size tank"),
                                  std::regex("\"pool_guid\":\\d+,\"txg\":\\d+,\"spa_version\":5000,\"zpl_version\":5,"
                                             "\"properties\":\\{\"size\":\\{\"value\":1073741824,")));
}

TEST(SimCli, FaultKnobs)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    const std::string faults = sh.root() + "/faults/";

    SimShell::writeFile(faults + "fail-next-snapshot", "cannot create snapshot 'tank/data@x': I/O error\n");
    SimShell::Result first = sh.run("zfs snapshot tank/data@x");
    EXPECT_EQ(first.rc, 1);
    EXPECT_EQ(first.err, "cannot create snapshot 'tank/data@x': I/O error\n");
    EXPECT_EQ(sh.run("zfs snapshot tank/data@x").rc, 0) << "the knob fires once";

    SimShell::writeFile(faults + "fail-recv", "cannot receive: simulated trouble");
    SimShell::Result recv = sh.run("zfs send tank/data@a | zfs recv backup/data");
    EXPECT_EQ(recv.rc, 1);
    EXPECT_EQ(recv.err, "cannot receive: simulated trouble\n");
    EXPECT_EQ(sh.run("zfs send tank/data@a | zfs recv backup/data").rc, 1) << "fail-<cmd> stays";
    sh.ok("rm '" + faults + "fail-recv'");

    SimShell::writeFile(faults + "send-cut", "5000\n");
    SimShell::Result cut = sh.run("zfs send tank/data@a > s; echo rc=$?; wc -c < s");
    EXPECT_EQ(cut.out, "rc=1\n5000\n");
    EXPECT_EQ(cut.err, "warning: cannot send 'tank/data@a': Input/output error\n");
    sh.ok("rm '" + faults + "send-cut'");

    // 200000+ bytes at 400000 bytes/s cannot take less than half a second.
    SimShell::writeFile(faults + "send-rate", "400000");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(trim(sh.ok("zfs send tank/data@a | wc -c")), trim(sh.ok("zfs send -nP tank/data@a | cut -f2 | tail -1")));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));

    // While a slow send streams, other commands are not blocked by it.
    SimShell::writeFile(faults + "send-rate", "50000");
    EXPECT_EQ(sh.ok("zfs send tank/data@a > /dev/null & pid=$!; zfs snapshot tank/data@during; zfs list -H -o name "
                    "tank/data@during; kill -0 $pid && echo still-sending; kill $pid"),
              "tank/data@during\nstill-sending\n");
}

TEST(SimCli, ReceiveTargetForms)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a; zfs create backup/x"));
    sh.ok("zfs send tank/data@a | zfs recv -d backup");
    sh.ok("zfs send tank/data@a | zfs recv -e backup/x");
    sh.ok("zfs send tank/data@a | zfs recv backup/named@custom");
    EXPECT_EQ(sh.ok("zfs list -t snapshot -H -o name -r backup"),
              "backup/data@a\nbackup/named@custom\nbackup/x/data@a\n");
    EXPECT_EQ(SimShell::tree(sh.data("backup/x/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimCli, ForcedIncrementalPackageMirrorsTheSendersSnapshots)
{
    SimShell sh;
    sh.ok(setup("for s in a b c; do echo $s >> \"$D/a.txt\"; zfs snapshot tank/data@$s; done\n"
                "zfs send -R tank/data@c | zfs recv backup/data\n"
                "zfs snapshot backup/data@extra\n"
                "zfs destroy tank/data@b; zfs rename tank/data@c @c2; echo d >> \"$D/a.txt\"; zfs snapshot tank/data@d"));
    SimShell::Result r = sh.run("zfs send -R -I @a tank/data@d | zfs recv -F backup/data");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(sh.ok("zfs list -t snapshot -Hp -o name,guid backup/data | sed 's/^backup/tank/'"),
              sh.ok("zfs list -t snapshot -Hp -o name,guid tank/data"))
        << "b and extra destroyed, c renamed to c2, d received";
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimCli, ReceivedPropertiesFollowTheSenderButNotOverLocalOnes)
{
    SimShell sh;
    sh.ok(setup("zfs set mountpoint=/srv tank/data; zfs set com.example:owner=ops tank/data; zfs snapshot tank/data@a\n"
                "zfs send -R tank/data@a | zfs recv -u backup/data"));
    EXPECT_EQ(sh.ok("zfs get -H -o property,value,source mountpoint,com.example:owner backup/data"),
              "mountpoint\t/srv\treceived\ncom.example:owner\tops\treceived\n");
    sh.ok("zfs set mountpoint=/srv2 tank/data; zfs snapshot tank/data@b; zfs set com.example:owner=dev backup/data");
    sh.ok("zfs send -R -I @a tank/data@b | zfs recv -u backup/data");
    EXPECT_EQ(sh.ok("zfs get -H -o property,value,source mountpoint,com.example:owner backup/data"),
              "mountpoint\t/srv2\treceived\ncom.example:owner\tdev\tlocal\n");
    sh.ok("zfs inherit com.example:owner backup/data");
    EXPECT_EQ(sh.ok("zfs get -H -o value,source com.example:owner backup/data"), "ops\treceived\n");
}
