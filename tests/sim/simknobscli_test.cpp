// The simulator's release knob, busy datasets, `zfs rename -u`, and the
// mount and share properties through create, set, send -R and recv -o/-x:
// the program driven through /bin/sh on a private state root, as callers
// see it.
#include "simshell.h"

#include <gtest/gtest.h>

namespace {

const char *kPools = "set -e\nzpool create tank 1G\nzpool create backup 1G\nzfs create tank/data\n";

} // namespace

TEST(SimKnobs, OlderReleasesRefuseJsonAndPrintTheirVersion)
{
    SimShell sh;
    sh.ok(kPools);
    EXPECT_EQ(sh.ok("zfs version"), "zfs-2.3.0-1\nzfs-kmod-2.3.0-1\n");
    EXPECT_EQ(sh.ok("zpool version -j"),
              "{\"output_version\":{\"command\":\"zpool version\",\"vers_major\":0,\"vers_minor\":1},"
              "\"zfs_version\":{\"userland\":\"zfs-2.3.0-1\",\"kernel\":\"zfs-kmod-2.3.0-1\"}}\n");
    SimShell::writeFile(sh.root() + "/faults/version", "2.2.7\n");
    EXPECT_EQ(sh.ok("zfs version"), "zfs-2.2.7-1\nzfs-kmod-2.2.7-1\n");
    EXPECT_EQ(sh.ok("zpool version"), "zfs-2.2.7-1\nzfs-kmod-2.2.7-1\n");
    struct Row {
        const char *command;
        const char *usageLine; // the synopsis line that follows "usage:"
    };
    const std::vector<Row> rows = {
        {"zfs list -j", "\tlist [-Hp] [-r|-d max] [-o property[,...]] [-s property]...\n"},
        {"zfs list -Hpjo name tank", "\tlist [-Hp] [-r|-d max] [-o property[,...]] [-s property]...\n"},
        {"zfs get -j all tank", "\tget [-rHp] [-d max] [-o \"all\" | field[,...]]\n"},
        {"zpool list -pj", "\tlist [-gHLpPv] [-o property[,...]] ...\n"},
        {"zfs list --json tank", "\tlist [-Hp] [-r|-d max] [-o property[,...]] [-s property]...\n"},
    };
    for (const auto &r : rows) {
        SimShell::Result res = sh.run(r.command);
        EXPECT_EQ(res.rc, 2) << r.command;
        EXPECT_EQ(res.out, "") << r.command;
        const std::string letter = std::string(r.command).find("--json") != std::string::npos ? "-" : "j";
        EXPECT_EQ(res.err.rfind("invalid option '" + letter + "'\nusage:\n" + r.usageLine, 0), 0u)
            << r.command << "\n" << res.err;
        EXPECT_EQ(res.err.find("json"), std::string::npos) << r.command;
    }
    EXPECT_EQ(sh.ok("zfs version -j; zpool version --json"), "zfs-2.2.7-1\nzfs-kmod-2.2.7-1\nzfs-2.2.7-1\nzfs-kmod-2.2.7-1\n")
        << "before 2.3 the version commands ignore their arguments";
    EXPECT_EQ(sh.ok("zfs list -Ho name tank; zpool list -Ho name"), "tank\nbackup\ntank\n")
        << "text listings work as before";
    EXPECT_EQ(sh.ok("zfs list -H -o name -s name tank backup"), "backup\ntank\n");

    sh.ok("zfs snapshot tank/data@s; zfs hold keep tank/data@s");
    EXPECT_EQ(sh.run("zfs destroy tank/data@s").err, "cannot destroy snapshot tank/data@s: dataset is busy\n");
    SimShell::writeFile(sh.root() + "/faults/version", "junk\n");
    EXPECT_EQ(sh.ok("zfs version"), "zfs-2.3.0-1\nzfs-kmod-2.3.0-1\n") << "an unreadable knob keeps 2.3.0";
    EXPECT_EQ(sh.run("zfs destroy tank/data@s").err.find("cannot destroy snapshot tank/data@s: it's being held"), 0u);
}

TEST(SimKnobs, BusyDatasetsRefuseDestroyAndRename)
{
    SimShell sh;
    sh.ok(std::string(kPools) + "zfs create tank/data/child\nzfs create -o mountpoint=none tank/idle\n");
    SimShell::writeFile(sh.root() + "/faults/busy", "tank/data/child\ntank/idle\n");
    struct Row {
        const char *command;
        const char *err;
        int rc;
    };
    const std::vector<Row> rows = {
        {"zfs destroy tank/data/child", "cannot unmount '/tank/data/child': pool or dataset is busy\n", 1},
        {"zfs destroy -r tank/data", "cannot unmount '/tank/data/child': pool or dataset is busy\n", 1},
        {"zfs rename tank/data tank/moved", "cannot unmount '/tank/data/child': pool or dataset is busy\n", 1},
        {"zfs destroy tank/idle", "cannot destroy 'tank/idle': dataset is busy\n", 1},
        {"zfs rename -u tank/idle tank/idle2", "cannot rename 'tank/idle': dataset is busy\n", 1},
        {"zfs destroy -n tank/idle", "", 0},
        {"zfs rename -u -p tank/data tank/x/y", "-u and -p options are mutually exclusive\n", 2},
        {"zfs snapshot tank/data@s; zfs rename -u tank/data@s tank/data@t",
         "cannot open 'tank/data@s': operation not applicable to datasets of this type\n", 1},
    };
    for (const auto &r : rows) {
        SimShell::Result res = sh.run(r.command);
        EXPECT_EQ(res.rc, r.rc) << r.command;
        EXPECT_EQ(res.err.substr(0, std::string(r.err).size()), r.err) << r.command;
    }
    EXPECT_EQ(sh.ok("zfs list -H -o name -r tank"), "tank\ntank/data\ntank/data/child\ntank/idle\n")
        << "nothing was destroyed or renamed";

    sh.ok("zfs rename -u tank/data tank/moved");
    EXPECT_EQ(sh.ok("zfs list -H -o name,mounted -r tank/moved"), "tank/moved\tyes\ntank/moved/child\tyes\n")
        << "-u renames a busy mounted tree and keeps it mounted";
    sh.ok("rm " + sh.root() + "/faults/busy");
    sh.ok("zfs destroy -r tank/moved; zfs destroy tank/idle");
    EXPECT_EQ(sh.ok("zfs list -H -o name -r tank"), "tank\n");
}

TEST(SimKnobs, MountAndShareProperties)
{
    SimShell sh;
    sh.ok(std::string(kPools) + "zfs create -o canmount=noauto -o sharenfs=rw=@10.0.0.0/8 tank/data/child\n"
                                "zfs set sharesmb=on tank/data\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name,canmount,mounted,sharenfs,sharesmb -r tank/data"),
              "tank/data\ton\tyes\toff\ton\ntank/data/child\tnoauto\tno\trw=@10.0.0.0/8\ton\n");
    EXPECT_EQ(sh.ok("zfs get -H -o property,value,source canmount,sharenfs,sharesmb tank/data/child"),
              "canmount\tnoauto\tlocal\nsharenfs\trw=@10.0.0.0/8\tlocal\nsharesmb\ton\tinherited from tank/data\n");
    EXPECT_EQ(sh.run("zfs set canmount=maybe tank/data").err,
              "cannot set property for 'tank/data': 'canmount' must be one of 'on | off | noauto'\n");

    sh.ok("zfs set readonly=on tank/data; zfs snapshot -r tank/data@a");
    sh.ok("zfs send -R tank/data@a | zfs recv -u backup/r");
    EXPECT_EQ(sh.ok("zfs get -H -o name,property,value,source canmount,sharenfs,sharesmb,readonly -t filesystem -r backup/r"),
              "backup/r\tcanmount\ton\tdefault\n"
              "backup/r\tsharenfs\toff\tdefault\n"
              "backup/r\tsharesmb\ton\treceived\n"
              "backup/r\treadonly\ton\treceived\n"
              "backup/r/child\tcanmount\tnoauto\treceived\n"
              "backup/r/child\tsharenfs\trw=@10.0.0.0/8\treceived\n"
              "backup/r/child\tsharesmb\ton\tinherited from backup/r\n"
              "backup/r/child\treadonly\ton\tinherited from backup/r\n");
    EXPECT_EQ(sh.ok("zfs get -pj sharenfs backup/r/child").find(
                  "\"sharenfs\":{\"value\":\"rw=@10.0.0.0/8\",\"source\":{\"type\":\"RECEIVED\",\"data\":\"-\"}}") !=
                  std::string::npos,
              true);

    // -x: the stream's value does not take effect (inherited or default);
    // -o: set locally on the top, inherited (or default) below it.
    sh.ok("zfs set mountpoint=/srv tank/data");
    sh.ok("zfs snapshot -r tank/data@b");
    sh.ok("zfs send -R tank/data@b | zfs recv -u -x readonly -x mountpoint -x sharesmb -o canmount=noauto "
          "-o sharenfs=off backup/x");
    EXPECT_EQ(sh.ok("zfs get -H -o name,property,value,source readonly,mountpoint,canmount,sharenfs,sharesmb "
                    "-t filesystem -r backup/x"),
              "backup/x\treadonly\toff\tdefault\n"
              "backup/x\tmountpoint\t/backup/x\tdefault\n"
              "backup/x\tcanmount\tnoauto\tlocal\n"
              "backup/x\tsharenfs\toff\tlocal\n"
              "backup/x\tsharesmb\toff\tdefault\n"
              "backup/x/child\treadonly\toff\tdefault\n"
              "backup/x/child\tmountpoint\t/backup/x/child\tdefault\n"
              "backup/x/child\tcanmount\ton\tdefault\n"
              "backup/x/child\tsharenfs\toff\tinherited from backup/x\n"
              "backup/x/child\tsharesmb\toff\tdefault\n");
    EXPECT_EQ(sh.ok("zfs get -H -o property,value,received,source readonly,mountpoint,sharesmb,canmount backup/x"),
              "readonly\toff\ton\tdefault\nmountpoint\t/backup/x\t/srv\tdefault\nsharesmb\toff\ton\tdefault\n"
              "canmount\tnoauto\t-\tlocal\n")
        << "-x and -o keep the stream's values as received ones under an explicit inherit";
    EXPECT_EQ(sh.ok("zfs send -R backup/x@b | zfs recv -u backup/y; zfs get -H -o value,source "
                    "readonly,sharesmb,canmount backup/y"),
              "off\tdefault\noff\tdefault\nnoauto\treceived\n")
        << "values overridden by an explicit inherit are not sent on";
    sh.ok("zfs set readonly=on backup/x");
    EXPECT_EQ(sh.ok("zfs get -H -o value,received,source readonly backup/x"), "on\ton\tlocal\n");
    sh.ok("zfs send tank/data/child@b | zfs recv -o canmount=noauto backup/single");
    EXPECT_EQ(sh.ok("zfs get -H -o value,source canmount,mounted backup/single"), "noauto\tlocal\nno\t-\n")
        << "canmount=noauto is not mounted by the receive";
}

TEST(SimKnobs, SetuidAndDevicesOverriddenOnEveryDatasetOfAReceivedTree)
{
    SimShell sh;
    sh.ok(std::string(kPools) + "zfs create -o setuid=on -o devices=on tank/data/child\n"
                                "zfs create tank/data/child/grand\n"
                                "zfs set setuid=on tank/data\n");
    EXPECT_EQ(sh.run("zfs set setuid=maybe tank/data").err,
              "cannot set property for 'tank/data': 'setuid' must be one of 'on | off'\n");
    sh.ok("zfs snapshot -r tank/data@a");
    EXPECT_EQ(sh.ok("zfs get -H -o name,value,source setuid,devices -t filesystem -r backup"),
              "backup\ton\tdefault\nbackup\ton\tdefault\n");

    // Received as it came, the stream's values take effect.
    sh.ok("zfs send -R tank/data@a | zfs recv -u backup/plain");
    EXPECT_EQ(sh.ok("zfs get -H -o name,property,value,source setuid,devices -t filesystem -r backup/plain"),
              "backup/plain\tsetuid\ton\treceived\n"
              "backup/plain\tdevices\ton\tdefault\n"
              "backup/plain/child\tsetuid\ton\treceived\n"
              "backup/plain/child\tdevices\ton\treceived\n"
              "backup/plain/child/grand\tsetuid\ton\tinherited from backup/plain/child\n"
              "backup/plain/child/grand\tdevices\ton\tinherited from backup/plain/child\n");

    // -o on the top: set there, every descendant inherits it over the
    // stream's own values.
    sh.ok("zfs send -R tank/data@a | zfs recv -u -o setuid=off -o devices=off backup/quiet");
    EXPECT_EQ(sh.ok("zfs get -H -o name,property,value,source setuid,devices -t filesystem -r backup/quiet"),
              "backup/quiet\tsetuid\toff\tlocal\n"
              "backup/quiet\tdevices\toff\tlocal\n"
              "backup/quiet/child\tsetuid\toff\tinherited from backup/quiet\n"
              "backup/quiet/child\tdevices\toff\tinherited from backup/quiet\n"
              "backup/quiet/child/grand\tsetuid\toff\tinherited from backup/quiet\n"
              "backup/quiet/child/grand\tdevices\toff\tinherited from backup/quiet\n");
}
