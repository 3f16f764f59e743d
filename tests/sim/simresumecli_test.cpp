// The simulator program as a replication service drives it: recursive
// snapshots and packages of a tree, resumable receives after a cut, safe
// replicas (-u, -x mountpoint, -o readonly=on), the "modified" check after a
// write or a read with atime, and the stall knobs. Every test runs the
// binary through /bin/sh on a private state root.
#include "simshell.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// Pools tank and backup; tank/data with 1.5 MB of random data in two files.
const char *kSetup = R"(set -e
zpool create tank 1G
zpool create backup 1G
zfs create tank/data
D=$(zfs sim-path tank/data)
head -c 1000000 /dev/urandom > "$D/big.bin"
mkdir "$D/docs"
head -c 500000 /dev/urandom > "$D/docs/blob.dat"
printf 'alpha\n' > "$D/a.txt"
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

uint64_t number(const std::string &s)
{
    return std::stoull(trim(s));
}

// The `size` line of a dry run.
uint64_t estimate(const std::string &dryRun)
{
    const size_t p = dryRun.rfind("size\t");
    return p == std::string::npos ? 0 : std::stoull(dryRun.substr(p + 5));
}

const char *kToken = "zfs get -H -p -o value receive_resume_token ";

} // namespace

TEST(SimResume, CutFullReceiveResumesWithOnlyTheRestAndIdenticalData)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    const uint64_t full = number(sh.ok("zfs send -w tank/data@a | wc -c"));
    SimShell::writeFile(sh.root() + "/faults/send-cut", std::to_string(full * 6 / 10));
    SimShell::Result cut = sh.run("zfs send -w tank/data@a | zfs recv -s -u backup/data");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    EXPECT_EQ(cut.rc, 1);
    const std::string token = trim(sh.ok(std::string(kToken) + "backup/data"));
    ASSERT_NE(token, "-");
    EXPECT_EQ(cut.err, "warning: cannot send 'tank/data@a': Input/output error\n"
                       "cannot receive new filesystem stream: incomplete stream\n"
                       "Partially received snapshot is saved.\n"
                       "A resuming stream can be generated on the sending system by running:\n"
                       "    zfs send -t " + token + "\n");
    // The new file system exists without snapshots, unmounted, and the same
    // token is a column of zfs list.
    EXPECT_EQ(sh.ok("zfs list -H -o name,mounted,receive_resume_token backup/data"),
              "backup/data\tno\t" + token + "\n");
    EXPECT_EQ(sh.run("zfs list -H -t snapshot backup/data").out, "");
    EXPECT_EQ(sh.ok("zfs get -H -o property all backup/data | grep -c receive_resume_token"), "1\n");
    EXPECT_EQ(sh.run("zfs get -H -o property all tank/data | grep -c receive_resume_token").out, "0\n")
        << "`get all` shows the token only while there is one";

    const std::string dry = sh.ok("zfs send -nvP -t " + token);
    EXPECT_TRUE(std::regex_search(dry, std::regex("^resume token contents:\nnvlist version: 0\n\tobject = 0x[0-9a-f]+\n"
                                                  "\toffset = 0x[0-9a-f]+\n\tbytes = 0x[0-9a-f]+\n"
                                                  "\ttoguid = 0x[0-9a-f]+\n\ttoname = tank/data@a\n"
                                                  "full\ttank/data@a\t\\d+\nsize\t\\d+\n$")))
        << dry;
    const uint64_t rest = number(sh.ok("zfs send -t " + token + " | wc -c"));
    EXPECT_EQ(estimate(dry), rest) << "the estimate is the size of the resumed stream";
    EXPECT_LT(rest, full / 2) << "only the rest is sent again";

    sh.ok("zfs send -t " + token + " | zfs recv -s -u backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
    EXPECT_EQ(SimShell::tree(sh.data("backup/data@a")), SimShell::tree(sh.data("tank/data@a")));
    EXPECT_EQ(sh.ok(std::string(kToken) + "backup/data"), "-\n");
    EXPECT_EQ(sh.ok("zfs get -H -p -o value guid tank/data@a"), sh.ok("zfs get -H -p -o value guid backup/data@a"));
    EXPECT_EQ(sh.ok("ls \"$ZFS_SIM_ROOT/pools/backup/partial\""), "") << "the kept state is gone";
}

TEST(SimResume, CutIncrementalKeepsTheTargetAndResumesTwice)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a\nzfs send tank/data@a | zfs recv -u backup/data\n"
                "for n in 1 2 3; do head -c 300000 /dev/urandom > \"$D/new$n.bin\"; done\n"
                "rm \"$D/a.txt\"; zfs snapshot tank/data@b"));
    const auto before = SimShell::tree(sh.data("backup/data"));
    SimShell::writeFile(sh.root() + "/faults/send-cut", "200000");
    EXPECT_EQ(sh.run("zfs send -i @a tank/data@b | zfs recv -s backup/data").rc, 1);
    const std::string first = trim(sh.ok(std::string(kToken) + "backup/data"));
    ASSERT_NE(first, "-");
    // The target is untouched (OpenZFS receives into a hidden clone).
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), before);
    EXPECT_EQ(sh.ok("zfs list -H -t snapshot -o name backup/data"), "backup/data@a\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name -r backup"), "backup\nbackup/data\n") << "the state is not listed";

    // Any other receive is refused while the state exists.
    SimShell::Result busy = sh.run("zfs send -i @a tank/data@b 2>/dev/null | zfs recv -s backup/data");
    EXPECT_EQ(busy.err, "cannot receive incremental stream: destination backup/data contains partially-complete "
                        "state from \"zfs receive -s\".\n");

    // The resumed stream is cut again, in a later file; its token moves on.
    SimShell::writeFile(sh.root() + "/faults/send-cut", "350000");
    EXPECT_EQ(sh.run("zfs send -t " + first + " | zfs recv backup/data").rc, 1);
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    const std::string second = trim(sh.ok(std::string(kToken) + "backup/data"));
    ASSERT_NE(second, "-");
    EXPECT_NE(second, first);
    EXPECT_NE(sh.run("zfs send -t " + first + " | zfs recv backup/data").rc, 0) << "the old position is refused";

    SimShell::Result dry = sh.run("zfs send -nvP -t " + second);
    EXPECT_NE(dry.out.find("\tfromguid = 0x"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("incremental\ttank/data@a\ttank/data@b\t"), std::string::npos) << dry.out;
    sh.ok("zfs send -t " + second + " | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
    EXPECT_EQ(sh.ok("zfs list -H -p -t snapshot -o name,guid backup/data | cut -f2"),
              sh.ok("zfs list -H -p -t snapshot -o name,guid tank/data | cut -f2"));
}

TEST(SimResume, KilledResumableReceiveKeepsWhatItHad)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    // A slow sender; the receiver is ended by SIGTERM, as a watchdog would.
    SimShell::writeFile(sh.root() + "/faults/send-rate", "1M");
    SimShell::Result killed = sh.run("mkfifo p; zfs send tank/data@a > p 2>/dev/null &\n"
                                     "zfs recv -s backup/data < p & rpid=$!\n"
                                     "i=0; while [ -z \"$(ls \"$ZFS_SIM_ROOT/pools/backup/tmp\")\" ] && [ $i -lt 100 ]; "
                                     "do sleep 0.1; i=$((i+1)); done\n"
                                     "sleep 0.3; kill -TERM $rpid; wait $rpid; echo status=$?; wait");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-rate\"");
    const std::string token = trim(sh.ok(std::string(kToken) + "backup/data"));
    ASSERT_NE(token, "-") << killed.err;
    EXPECT_EQ(killed.out, "status=1\n");
    EXPECT_NE(killed.err.find("Partially received snapshot is saved."), std::string::npos) << killed.err;
    sh.ok("zfs send -t " + token + " | zfs recv -s backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimResume, StaleTokensAndAborts)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    SimShell::writeFile(sh.root() + "/faults/send-cut", "200000");
    sh.run("zfs send tank/data@a | zfs recv -s backup/data");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    const std::string token = trim(sh.ok(std::string(kToken) + "backup/data"));
    ASSERT_NE(token, "-");

    struct Row {
        const char *name;
        std::string command;
        const char *stderrText;
        int rc;
    };
    const std::vector<Row> rows = {
        {"corrupt token", "zfs send -t 1-zz-1-00 > /dev/null",
         "cannot resume send: resume token is corrupt (invalid format)\n", 1},
        {"token with -R", "zfs send -R -t " + token + " > /dev/null 2>&1; echo $? >&2", "2\n", 0},
        {"token with a snapshot", "zfs send -t " + token + " tank/data@a 2>&1 >/dev/null | head -1 >&2",
         "too many arguments\n", 0},
        {"plain receive into the state", "zfs send tank/data@a | zfs recv -F backup/data",
         "cannot receive new filesystem stream: destination backup/data contains partially-complete state from "
         "\"zfs receive -s\".\n",
         1},
        {"abort without state", "zfs recv -A backup", "'backup' does not have any resumable receive state to abort\n",
         1},
        {"abort of a missing file system", "zfs recv -A backup/nope", "cannot open 'backup/nope': dataset does not exist\n",
         1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SimShell::Result r = sh.run(row.command);
        EXPECT_EQ(r.err, row.stderrText);
        EXPECT_EQ(r.rc, row.rc);
    }

    // The snapshot goes away on the sender: the token is stale.
    sh.ok("zfs rename tank/data@a tank/data@renamed");
    EXPECT_EQ(sh.run("zfs send -t " + token + " | wc -c").out, std::to_string(
        number(sh.ok("zfs send -nP -t " + token + " | tail -1 | cut -f2"))) + "\n")
        << "a renamed snapshot is found by guid";
    sh.ok("zfs destroy tank/data@renamed");
    SimShell::Result stale = sh.run("zfs send -t " + token + " > /dev/null");
    EXPECT_EQ(stale.rc, 1);
    EXPECT_EQ(stale.err, "cannot resume send: 'tank/data@a' used in the initial send no longer exists\n");
    SimShell::Result staleDry = sh.run("zfs send -nvP -t " + token);
    EXPECT_EQ(staleDry.rc, 1);
    EXPECT_EQ(staleDry.out.rfind("resume token contents:\n", 0), 0u) << "the contents come first";

    // Aborting a cut full receive removes the new file system with its state.
    sh.ok("zfs recv -A backup/data");
    EXPECT_EQ(sh.run("zfs list backup/data").rc, 1);
    EXPECT_EQ(sh.ok("ls \"$ZFS_SIM_ROOT/pools/backup/partial\""), "");
    sh.ok("zfs snapshot tank/data@b; zfs send tank/data@b | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));

    // Aborting a cut incremental keeps the file system and its snapshots.
    sh.ok("D=$(zfs sim-path tank/data); echo more >> \"$D/a.txt\"; head -c 400000 /dev/urandom > \"$D/c.bin\";"
          "zfs snapshot tank/data@c");
    SimShell::writeFile(sh.root() + "/faults/send-cut", "100000");
    sh.run("zfs send -i @b tank/data@c | zfs recv -s backup/data");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    ASSERT_NE(sh.ok(std::string(kToken) + "backup/data"), "-\n");
    sh.ok("zfs recv -A backup/data");
    EXPECT_EQ(sh.ok(std::string(kToken) + "backup/data"), "-\n");
    EXPECT_EQ(sh.ok("zfs list -H -t snapshot -o name backup/data"), "backup/data@b\n");
    sh.ok("zfs send -i @b tank/data@c | zfs recv backup/data");
    EXPECT_EQ(SimShell::tree(sh.data("backup/data")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimResume, TreeWithChildrenAndGrandchildBecomesASafeReplica)
{
    SimShell sh;
    sh.ok(setup("zfs create tank/data/c1; zfs create tank/data/c2; zfs create tank/data/c1/g\n"
                "zfs set mountpoint=/srv/data tank/data\n"
                "for d in c1 c2 c1/g; do head -c 20000 /dev/urandom > \"$(zfs sim-path tank/data/$d)/f\"; done\n"
                "zfs snapshot -r tank/data@s1"));
    EXPECT_EQ(sh.ok("zfs list -H -o name -t snapshot -r tank"),
              "tank/data@s1\ntank/data/c1@s1\ntank/data/c1/g@s1\ntank/data/c2@s1\n");
    const char *recv = "zfs recv -s -u -x mountpoint -o readonly=on backup/data";
    sh.ok(std::string("zfs send -w -R tank/data@s1 | ") + recv);
    const char *trees[] = {"data", "data/c1", "data/c2", "data/c1/g"};
    for (int round = 2; round <= 4; round++) {
        SCOPED_TRACE(round);
        sh.ok("for d in data data/c1 data/c2 data/c1/g; do echo " + std::to_string(round) +
              " >> \"$(zfs sim-path tank/$d)/round.txt\"; done; zfs snapshot -r tank/data@s" + std::to_string(round));
        sh.ok("zfs send -w -R -I @s" + std::to_string(round - 1) + " tank/data@s" + std::to_string(round) + " | " +
              recv);
        for (const char *t : trees)
            EXPECT_EQ(SimShell::tree(sh.data(std::string("backup/") + t)), SimShell::tree(sh.data(std::string("tank/") + t)))
                << t;
    }
    // guids are preserved; createtxg grows in the order of receipt.
    EXPECT_EQ(sh.ok("zfs list -H -p -o guid -t snapshot -s createtxg -d 1 backup/data"),
              sh.ok("zfs list -H -p -o guid -t snapshot -s createtxg -d 1 tank/data"));
    const std::string txgs = sh.ok("zfs list -H -p -o createtxg -t snapshot -s createtxg -r backup/data");
    EXPECT_EQ(txgs, sh.ok("zfs list -H -p -o createtxg -t snapshot -r backup/data | sort -n"));
    EXPECT_EQ(sh.ok("zfs list -H -p -o createtxg -t snapshot -r backup/data | sort -n | uniq -d"), "")
        << "createtxg is unique per pool";
    // Not mounted, not at the source's mount point, read-only everywhere.
    EXPECT_EQ(sh.ok("zfs get -H -o name,value,source -r -t filesystem mountpoint,readonly backup/data"),
              "backup/data\t/backup/data\tdefault\nbackup/data\ton\tlocal\n"
              "backup/data/c1\t/backup/data/c1\tdefault\nbackup/data/c1\ton\tinherited from backup/data\n"
              "backup/data/c1/g\t/backup/data/c1/g\tdefault\nbackup/data/c1/g\ton\tinherited from backup/data\n"
              "backup/data/c2\t/backup/data/c2\tdefault\nbackup/data/c2\ton\tinherited from backup/data\n");
    EXPECT_EQ(sh.ok("zfs list -H -o mounted -r backup/data | sort -u"), "no\n");
    // Promoting the replica: readonly=off alone mounts nothing, a mount point does.
    sh.ok("zfs set readonly=off backup/data");
    EXPECT_EQ(sh.ok("zfs get -H -o value mounted backup/data"), "no\n");
    sh.ok("zfs set mountpoint=/srv/restored backup/data");
    EXPECT_EQ(sh.ok("zfs get -H -o value mounted,mountpoint backup/data backup/data/c1"),
              "yes\n/srv/restored\nno\n/srv/restored/c1\n");
}

TEST(SimResume, ReadOnlyRefusesWritesAndWritesOrReadsBreakTheNextIncremental)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a; zfs snapshot tank/data@b; zfs snapshot tank/data@c\n"
                "zfs send tank/data@a | zfs recv -o readonly=on backup/ro\n"
                "zfs send tank/data@a | zfs recv backup/rw"));
    SimShell::Result refused = sh.run("echo x | zfs sim-write backup/ro x.txt");
    EXPECT_EQ(refused.rc, 1);
    EXPECT_EQ(refused.err, "/backup/ro/x.txt: Read-only file system\n");
    EXPECT_EQ(sh.ok("zfs sim-read backup/ro a.txt"), "alpha\n");
    sh.ok("zfs send -i @a tank/data@b | zfs recv backup/ro");
    EXPECT_EQ(SimShell::tree(sh.data("backup/ro")), SimShell::tree(sh.data("tank/data")));

    const std::string modified = "cannot receive incremental stream: destination backup/rw has been modified\n"
                                 "since most recent snapshot\n";
    // A read with atime=on counts as a change, as on ZFS.
    EXPECT_EQ(sh.ok("zfs sim-read backup/rw a.txt"), "alpha\n");
    EXPECT_EQ(sh.run("zfs send -i @a tank/data@b | zfs recv backup/rw").err, modified);
    sh.ok("zfs send -i @a tank/data@b | zfs recv -F backup/rw");
    sh.ok("echo x | zfs sim-write backup/rw x.txt");
    EXPECT_EQ(sh.run("zfs send -i @b tank/data@c | zfs recv backup/rw").err, modified);
    sh.ok("zfs send -i @b tank/data@c | zfs recv -F backup/rw");
    EXPECT_EQ(SimShell::tree(sh.data("backup/rw")), SimShell::tree(sh.data("tank/data")));
    // With atime=off a read changes nothing.
    sh.ok("zfs set atime=off backup/rw; zfs sim-read backup/rw a.txt; zfs snapshot tank/data@d");
    sh.ok("zfs send -i @c tank/data@d | zfs recv backup/rw");
}

TEST(SimResume, StallKnobsHangWithoutExiting)
{
    SimShell sh;
    sh.ok(setup("zfs snapshot tank/data@a"));
    // The sender writes exactly N bytes, then neither writes nor exits.
    SimShell::writeFile(sh.root() + "/faults/send-stall", "100000");
    EXPECT_EQ(sh.ok("zfs send tank/data@a > s & pid=$!\n"
                    "i=0; while [ $(wc -c < s) -lt 100000 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                    "sleep 1; kill -0 $pid && echo alive; wc -c < s; kill $pid; wait $pid; echo status=$?"),
              "alive\n100000\nstatus=143\n");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-stall\"");
    // The receiver reads N bytes, then stops reading; the sender blocks.
    SimShell::writeFile(sh.root() + "/faults/recv-stall", "100000");
    EXPECT_EQ(sh.ok("zfs send tank/data@a > s; zfs recv backup/data < s & pid=$!\n"
                    "sleep 1.5; kill -0 $pid && echo alive; kill $pid; wait $pid; echo status=$?"),
              "alive\nstatus=143\n");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/recv-stall\"");
    EXPECT_EQ(sh.run("zfs list backup/data").rc, 1) << "nothing was received";
}
