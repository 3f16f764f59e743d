// Which runs may go side by side: the footprint of each mission kind, the
// overlap of dataset trees, and the decision against the runs going.
#include "mission.h"
#include "runadmission.h"
#include "runfootprint.h"

#include <gtest/gtest.h>

namespace {

Mission mission(int action, const QString &pool, const QString &name, const QString &path,
                const QString &host = QStringLiteral("hosta"), int port = 22)
{
    Mission m;
    m.action = action;
    m.pool = pool;
    m.name = name;
    m.path = path;
    m.host = host;
    m.port = port;
    return m;
}

TEST(RunFootprint, EachKindNamesTheTreesItTouches)
{
    const struct {
        const char *name;
        Mission mission;
        QString local, endpoint, remote;
    } cases[] = {
        {"send", mission(Mission::Send, "tank", "a", "backup"), "tank/a", "hosta:22", "backup/a"},
        {"send with nested name", mission(Mission::Send, "tank", "a/b", "backup/x"), "tank/a/b", "hosta:22", "backup/x/a/b"},
        {"pull: the local replica and the remote dataset", mission(Mission::Pull, "tank", "r", "prod/data"), "tank/r",
         "hosta:22", "prod/data"},
        {"mirror", mission(Mission::Mirror, "tank", "m", "prod/db", "HostB", 2222), "tank/m", "hostb:2222", "prod/db"},
        {"export: only this machine", mission(Mission::Export, "tank", "a/b", "/srv/exports"), "tank/a/b", "", ""},
        {"restore: only this machine", mission(Mission::Restore, "tank", "back", "/srv/exports/f.zfs.gz"), "tank/back", "",
         ""},
        {"slashes at the ends are not part of the names", mission(Mission::Send, "tank", "a/", "/backup/"), "tank/a",
         "hosta:22", "backup/a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const RunFootprint footprint = RunFootprint::of(c.mission);
        EXPECT_EQ(footprint.localTree, c.local);
        EXPECT_EQ(footprint.endpoint, c.endpoint);
        EXPECT_EQ(footprint.remoteTree, c.remote);
    }
}

TEST(RunFootprint, TreesOverlapByWholeComponents)
{
    const struct {
        QString a, b;
        bool overlap;
    } cases[] = {
        {"tank/a", "tank/a", true},     {"tank/a", "tank/a/b", true},  {"tank/a/b/c", "tank/a", true},
        {"tank", "tank/a/b", true},     {"tank/a", "tank/ab", false},  {"tank/ab", "tank/a", false},
        {"tank/a", "tank/b", false},    {"tank/a", "tank2/a", false},  {"tank/a/", "tank/a", true},
        {"", "tank/a", false},          {"tank/a", "", false},         {"tank/a.x", "tank/a", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((c.a + " vs " + c.b).toStdString());
        EXPECT_EQ(RunFootprint::treesOverlap(c.a, c.b), c.overlap);
    }
}

TEST(RunAdmission, DecidesAgainstTheRunsGoing)
{
    const RunFootprint sendA = RunFootprint::of(mission(Mission::Send, "tank", "a", "backup", "hosta"));
    const RunFootprint sendB = RunFootprint::of(mission(Mission::Send, "tank", "b", "backup", "hostb"));
    const RunFootprint sendC2 = RunFootprint::of(mission(Mission::Send, "tank", "c", "backup", "hosta", 2222));
    const RunFootprint exportAB = RunFootprint::of(mission(Mission::Export, "tank", "a/b", "/srv"));
    const RunFootprint exportC = RunFootprint::of(mission(Mission::Export, "tank", "c", "/srv"));
    const RunFootprint pullIntoA = RunFootprint::of(mission(Mission::Pull, "tank", "a/r", "prod", "hostc"));
    const RunFootprint secondToA = RunFootprint::of(mission(Mission::Send, "tank", "d", "backup", "hosta"));
    const RunFootprint mirrorFromB = RunFootprint::of(mission(Mission::Mirror, "tank", "m", "backup/b", "hostb"));
    const RunFootprint mirrorOtherB = RunFootprint::of(mission(Mission::Mirror, "tank", "n", "backup/bb", "hostb"));
    const RunLimits four{4, 1};
    const RunLimits twoPerHost{4, 2};
    const RunLimits one{1, 1};
    const struct {
        const char *name;
        RunLimits limits;
        QList<RunAdmission::Going> going;
        RunFootprint candidate;
        bool start;
        QString reason;
    } cases[] = {
        {"nothing goes", one, {}, sendA, true, ""},
        {"one slot taken", one, {{1, sendB}}, sendA, false, "all 1 run slots are taken (maxparallel)"},
        {"another host, a free slot", four, {{1, sendA}}, sendB, true, ""},
        {"the same host: maxperhost 1", four, {{1, sendA}}, secondToA, false, "1 run(s) to hosta:22 already go (maxperhost)"},
        {"the same host, two allowed", twoPerHost, {{1, sendA}}, secondToA, true, ""},
        {"the same host on another port is another endpoint", four, {{1, sendA}}, sendC2, true, ""},
        {"an export inside the sent tree", four, {{7, sendA}}, exportAB, false,
         "overlaps the tree of mission 7 on this machine (tank/a)"},
        {"a send over the exported tree", four, {{3, exportAB}}, sendA, false,
         "overlaps the tree of mission 3 on this machine (tank/a/b)"},
        {"an export of another tree", four, {{1, sendA}}, exportC, true, ""},
        {"a pull into the sent tree", four, {{2, sendA}}, pullIntoA, false,
         "overlaps the tree of mission 2 on this machine (tank/a)"},
        {"a mirror of what a send writes on that host", twoPerHost, {{4, sendB}}, mirrorFromB, false,
         "overlaps the tree of mission 4 on hostb:22 (backup/b)"},
        {"a mirror of a sibling tree on that host", twoPerHost, {{4, sendB}}, mirrorOtherB, true, ""},
        {"all four slots taken", four, {{1, sendA}, {2, sendB}, {3, exportC}, {4, sendC2}}, pullIntoA, false,
         "all 4 run slots are taken (maxparallel)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const RunAdmission::Decision decision = RunAdmission::decide(c.limits, c.going, c.candidate);
        EXPECT_EQ(decision.start, c.start);
        EXPECT_EQ(decision.reason, c.reason);
    }
}

TEST(RunAdmission, SlotCountAlone)
{
    EXPECT_TRUE(RunAdmission::slotFree(RunLimits{2, 1}, 1).start);
    EXPECT_FALSE(RunAdmission::slotFree(RunLimits{2, 1}, 2).start);
    EXPECT_EQ(RunAdmission::slotFree(RunLimits{2, 1}, 2).reason, "all 2 run slots are taken (maxparallel)");
}

} // namespace
