// User properties of snapshots as OpenZFS keeps them: set with
// `zfs snapshot -o`, listed and read with `zfs get` (a snapshot without its
// own value shows its dataset's as inherited, "-" when there is none), and
// carried with the snapshot in -R and -p streams, incremental ones too.
#include "simshell.h"

#include <gtest/gtest.h>

namespace {

const char *kSetup = R"(set -e
zpool create tank 1G
zpool create backup 1G
zfs create tank/data
zfs create tank/data/child
printf 'alpha\n' > "$(zfs sim-path tank/data)/a.txt"
)";

} // namespace

TEST(SimSnapshotProperties, SetOnSnapshotAndListed)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("zfs snapshot -r -o zfsrep:mission=abc:7 tank/data@own; zfs snapshot tank/data@plain");
    EXPECT_EQ(sh.ok("zfs list -H -p -o name,zfsrep:mission -t snapshot -s createtxg -r tank/data"),
              "tank/data@own\tabc:7\ntank/data/child@own\tabc:7\ntank/data@plain\t-\n");
    EXPECT_EQ(sh.ok("zfs get -H -o name,value,source zfsrep:mission tank/data@own tank/data@plain"),
              "tank/data@own\tabc:7\tlocal\ntank/data@plain\t-\t-\n");
    // A dataset's own value reaches its snapshots as inherited.
    sh.ok("zfs set com.example:tag=blue tank/data");
    EXPECT_EQ(sh.ok("zfs get -H -o value,source com.example:tag tank/data@plain"),
              "blue\tinherited from tank/data\n");
    EXPECT_NE(sh.ok("zfs get -H -o property all tank/data@own").find("zfsrep:mission"), std::string::npos);
}

TEST(SimSnapshotProperties, RefusesWhatZfsRefuses)
{
    SimShell sh;
    sh.ok(kSetup);
    SimShell::Result r = sh.run("zfs snapshot -o zfsrep:mission tank/data@a");
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err.rfind("missing '=' for property=value argument\n", 0), 0u) << r.err;
    r = sh.run("zfs snapshot -o a:b=1 -o a:b=2 tank/data@a");
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err.rfind("property 'a:b' specified multiple times\n", 0), 0u) << r.err;
    r = sh.run("zfs snapshot -o readonly=on tank/data@a");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "cannot create snapshot 'tank/data@a': invalid property 'readonly'\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t snapshot -r tank/data"), "");
}

TEST(SimSnapshotProperties, TravelInReplicationStreams)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("zfs snapshot -r -o zfsrep:mission=abc:7 tank/data@one\n"
          "zfs snapshot -r tank/data@admin\n"
          "zfs snapshot -r -o zfsrep:mission=abc:8 tank/data@two\n"
          "zfs send -R tank/data@one | zfs recv -u backup/data\n"
          "zfs send -R -I @one tank/data@two | zfs recv -u backup/data");
    EXPECT_EQ(sh.ok("zfs list -H -o name,zfsrep:mission -t snapshot -s createtxg backup/data"),
              "backup/data@one\tabc:7\nbackup/data@admin\t-\nbackup/data@two\tabc:8\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name,zfsrep:mission -t snapshot -s createtxg backup/data/child"),
              "backup/data/child@one\tabc:7\nbackup/data/child@admin\t-\nbackup/data/child@two\tabc:8\n");
    // A stream without properties (no -R, no -p) does not carry them.
    sh.ok("zfs send tank/data@one | zfs recv -u backup/bare");
    EXPECT_EQ(sh.ok("zfs list -H -o name,zfsrep:mission -t snapshot backup/bare"), "backup/bare@one\t-\n");
}
