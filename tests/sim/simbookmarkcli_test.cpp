// Bookmarks through the simulator program: made from a snapshot (or another
// bookmark), listed with -t bookmark / snapshot,bookmark / all, the base of
// one incremental stream (plain or raw) after their snapshot is gone, and
// OpenZFS' refusals: no package (-R, -I, -p) from a bookmark, no hold on
// one, a destroyed one is gone.
#include "simshell.h"

#include <gtest/gtest.h>

namespace {

// tank/data with a file, snapshot @a, bookmark #a of it, then more data and
// snapshot @b; tank/data/child with its own @a; pool backup holding @a.
const char *kSetup = R"(set -e
zpool create tank 1G
zpool create backup 1G
zfs create tank/data
zfs create tank/data/child
D=$(zfs sim-path tank/data)
head -c 200000 /dev/urandom > "$D/big.bin"
printf 'alpha\n' > "$D/a.txt"
zfs snapshot -r tank/data@a
zfs bookmark tank/data@a tank/data#a
zfs send tank/data@a | zfs recv backup/dst
printf 'beta\n' > "$D/b.txt"
printf 'alpha2\n' > "$D/a.txt"
zfs snapshot -r tank/data@b
)";

} // namespace

TEST(SimBookmark, ListsBookmarksWithTheSnapshotsGuidAndTxg)
{
    SimShell sh;
    sh.ok(kSetup);
    const std::string snap = sh.ok("zfs list -H -p -o guid,createtxg,creation -t snapshot tank/data@a");
    const std::string bm = sh.ok("zfs list -H -p -o guid,createtxg,creation -t bookmark tank/data#a");
    EXPECT_EQ(bm, snap);
    EXPECT_EQ(sh.ok("zfs list -H -o name,type -t bookmark -r tank"), "tank/data#a\tbookmark\n");
    sh.ok("zfs bookmark tank/data/child@a '#c'");
    // zfs' order: a dataset, its snapshots, its bookmarks, then its children.
    EXPECT_EQ(sh.ok("zfs list -H -o name -t snapshot,bookmark -r tank/data"),
              "tank/data@a\ntank/data@b\ntank/data#a\ntank/data/child@a\ntank/data/child@b\ntank/data/child#c\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t all -r tank/data"),
              "tank/data\ntank/data@a\ntank/data@b\ntank/data#a\ntank/data/child\ntank/data/child@a\n"
              "tank/data/child@b\ntank/data/child#c\n");
    // Without -r only the named dataset's bookmarks.
    EXPECT_EQ(sh.ok("zfs list -H -o name -t bookmark tank/data"), "tank/data#a\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name,used -t bookmark tank/data"), "tank/data#a\t-\n");
    const std::string json = sh.ok("zfs list -j -o name,guid -t bookmark tank/data");
    EXPECT_NE(json.find("\"tank/data#a\":{\"name\":\"tank/data#a\",\"type\":\"BOOKMARK\",\"pool\":\"tank\""),
              std::string::npos)
        << json;
    // A bookmark made from a bookmark is the same snapshot.
    sh.ok("zfs bookmark tank/data#a tank/data#copy");
    EXPECT_EQ(sh.ok("zfs list -H -p -o guid -t bookmark tank/data#copy"),
              sh.ok("zfs list -H -p -o guid -t bookmark tank/data#a"));
}

TEST(SimBookmark, IncrementalFromABookmarkCarriesOnlyTheNewData)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("zfs destroy tank/data@a");
    const std::string fromBm = sh.ok("zfs send -nvP -i '#a' tank/data@b");
    EXPECT_EQ(fromBm.substr(0, fromBm.find('\t', 12)), "incremental\ttank/data#a");
    const std::string full = sh.ok("zfs send -nvP tank/data@b");
    auto size = [](const std::string &text) {
        const size_t at = text.rfind("size\t");
        return std::stoull(text.substr(at + 5));
    };
    EXPECT_LT(size(fromBm), 20000u) << fromBm; // two small files, not the 200 KB one
    EXPECT_GT(size(full), 200000u) << full;
    sh.ok("zfs send -i tank/data#a tank/data@b | zfs recv backup/dst");
    EXPECT_EQ(sh.ok("zfs list -H -p -o guid backup/dst@b"), sh.ok("zfs list -H -p -o guid tank/data@b"));
    EXPECT_EQ(SimShell::tree(sh.data("backup/dst")), SimShell::tree(sh.data("tank/data")));
}

TEST(SimBookmark, RawIncrementalFromABookmarkOfAnEncryptedDataset)
{
    SimShell sh;
    sh.ok(R"(set -e
zpool create tank 1G
zpool create backup 1G
printf 'correct horse battery\n' > key
zfs create -o encryption=on -o keyformat=passphrase -o keylocation="file://$PWD/key" tank/enc
printf 'top secret\n' > "$(zfs sim-path tank/enc)/s.txt"
zfs snapshot tank/enc@a
zfs bookmark tank/enc@a '#a'
zfs send -w tank/enc@a | zfs recv backup/enc
printf 'more\n' > "$(zfs sim-path tank/enc)/more.txt"
zfs snapshot tank/enc@b
zfs destroy tank/enc@a
zfs send -w -i '#a' tank/enc@b | zfs recv backup/enc
)");
    EXPECT_EQ(sh.ok("zfs list -H -p -o guid backup/enc@b"), sh.ok("zfs list -H -p -o guid tank/enc@b"));
    EXPECT_EQ(sh.ok("zfs get -H -o value keystatus backup/enc"), "unavailable\n");
    // A bookmark made without the ivset guid (an older pool's) cannot start
    // a raw incremental.
    const std::string meta = sh.root() + "/pools/tank/pool.meta";
    sh.ok("sed -i 's/^\\(bmark\\t.*\\)\\t[0-9]*$/\\1\\t0/' '" + meta + "'");
    SimShell::Result r = sh.run("zfs send -w -i '#a' tank/enc@b > /dev/null");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "warning: cannot send 'tank/enc@b': IV set guid missing. See errata 4 at "
                     "https://openzfs.github.io/openzfs-docs/msg/ZFS-8000-ER.\n");
}

TEST(SimBookmark, RefusalsAsOpenZfsWordsThem)
{
    struct Row {
        const char *name;
        const char *command;
        const char *stderrText;
        int rc;
    };
    const std::vector<Row> rows = {
        {"no tree stream from a bookmark", "zfs send -R -i '#a' tank/data@b > /dev/null",
         "Error: Unsupported flag with filesystem or bookmark.\n", 1},
        {"no -I from a bookmark", "zfs send -I tank/data#a tank/data@b > /dev/null",
         "Error: Unsupported flag with filesystem or bookmark.\n", 1},
        {"a missing bookmark", "zfs send -i '#nope' tank/data@b > /dev/null",
         "warning: cannot send 'tank/data@b': incremental source (tank/data#nope) does not exist\n", 1},
        {"no hold on a bookmark", "zfs hold keep tank/data#a", "'tank/data#a' is not a snapshot\n", 1},
        {"the name is taken", "zfs bookmark tank/data@b tank/data#a",
         "cannot create bookmark 'tank/data#a': bookmark exists\n", 1},
        {"another dataset", "zfs bookmark tank/data@b tank/data/child#x",
         "cannot create bookmark 'tank/data/child#x': source is not an ancestor of the new bookmark's dataset\n", 1},
        {"destroy a missing bookmark", "zfs destroy tank/data#nope", "bookmark 'tank/data#nope' does not exist.\n", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SimShell sh;
        sh.ok(kSetup);
        SimShell::Result r = sh.run(row.command);
        EXPECT_EQ(r.err, row.stderrText);
        EXPECT_EQ(r.rc, row.rc);
    }
    SimShell sh;
    sh.ok(kSetup);
    SimShell::Result noSnap = sh.run("zfs bookmark tank/data@nope tank/data#x");
    EXPECT_EQ(noSnap.rc, 2);
    EXPECT_EQ(noSnap.err.substr(0, 69), "cannot open 'tank/data@nope': dataset does not exist\nusage:\n\tbookmark");
    SimShell::Result noHash = sh.run("zfs bookmark tank/data@b tank/data");
    EXPECT_EQ(noHash.rc, 2);
    EXPECT_EQ(noHash.err.substr(0, 49), "invalid bookmark name 'tank/data': must contain a");
}

TEST(SimBookmark, DestroyedBookmarkIsGoneAndItsSnapshotStays)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("zfs destroy tank/data#a");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t bookmark -r tank"), "");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t snapshot tank/data"), "tank/data@a\ntank/data@b\n");
    // Destroying the snapshot leaves the bookmark.
    sh.ok("zfs bookmark tank/data@a tank/data#a2; zfs destroy tank/data@a");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t bookmark tank/data"), "tank/data#a2\n");
}

TEST(SimBookmark, ACutStreamFromABookmarkResumesFromIt)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("head -c 300000 /dev/urandom > \"$(zfs sim-path tank/data)/c.bin\"; zfs snapshot tank/data@c; "
          "zfs destroy tank/data@a; zfs destroy tank/data@b");
    const std::string size = sh.ok("zfs send -i '#a' tank/data@c | wc -c");
    SimShell::writeFile(sh.root() + "/faults/send-cut", std::to_string(std::stoull(size) / 2));
    SimShell::Result cut = sh.run("zfs send -i '#a' tank/data@c | zfs recv -s backup/dst");
    sh.ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    EXPECT_EQ(cut.rc, 1);
    std::string token = sh.ok("zfs get -H -p -o value receive_resume_token backup/dst");
    token.pop_back();
    ASSERT_NE(token, "-");
    sh.ok("zfs send -t " + token + " | zfs recv -s backup/dst");
    EXPECT_EQ(sh.ok("zfs list -H -p -o guid backup/dst@c"), sh.ok("zfs list -H -p -o guid tank/data@c"));
    EXPECT_EQ(SimShell::tree(sh.data("backup/dst")), SimShell::tree(sh.data("tank/data")));
}
