// A mission's hook around its snapshot, against the fake runner: the order
// of pre, snapshot and post, post after a failing pre, a non-fatal pre, the
// ZFSREP_* variables, and a hook that is not configured.
#include "eventrecorder.h"
#include "fakerunner.h"
#include "hookdefinition.h"
#include "run.h"
#include "runservices.h"
#include "seriessnapshots.h"
#include "snapshothooks.h"
#include "tq2error.h"

#include <gtest/gtest.h>

namespace {

const QString kSnapshot = "tank/db@daily_20240305070809";
// The snapshot command, whatever properties it sets on the snapshot.
const QString kSnapshotLine = "zfs snapshot " + kSnapshot;

class SnapshotHooksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HookDefinition freeze;
        freeze.name = "freeze";
        freeze.pre = QStringList{"/usr/local/bin/freeze", "--db", "main"};
        freeze.post = QStringList{"/usr/local/bin/thaw"};
        freeze.timeoutSeconds = 7;
        HookDefinition lenient = freeze;
        lenient.name = "lenient";
        lenient.fatal = false;
        HookDefinition after;
        after.name = "after";
        after.post = QStringList{"/usr/local/bin/thaw"};
        HookCatalogue::set({{"freeze", freeze}, {"lenient", lenient}, {"after", after}});
    }
    void TearDown() override { HookCatalogue::set({}); }

    // Runs the snapshot step of a send of tank/db with hook `hook`.
    bool snapshotWith(const QString &hook, QString &snapshot, QString &error)
    {
        Mission mission;
        mission.msnno = 5;
        mission.caption = "Nightly";
        mission.action = Mission::Send;
        mission.pool = "tank";
        mission.name = "db";
        mission.snapname = "daily";
        mission.hook = hook;
        ::Run run(mission, 1);
        RunSettings settings;
        EventRecorder events;
        const RunServices services{runner, settings, events,
                                   [] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); }};
        SeriesSnapshots series(run, services);
        const bool result = SnapshotHooks(run, services).snapshot(series, mission.dataset(), mission.snapname, snapshot);
        error = run.errorText();
        return result;
    }

    // The command lines run, the snapshot's shortened to kSnapshotLine.
    QStringList lines() const
    {
        QStringList result;
        for (const QString &line : runner.runLines())
            result.append(line.startsWith("zfs snapshot -r ") && line.endsWith(" " + kSnapshot) ? kSnapshotLine : line);
        return result;
    }

    FakeRunner runner;
};

TEST_F(SnapshotHooksTest, PreSnapshotPostInOrderWithTheirVariables)
{
    QString snapshot, error;
    ASSERT_TRUE(snapshotWith("freeze", snapshot, error)) << error.toStdString();
    EXPECT_EQ(snapshot, kSnapshot);
    EXPECT_EQ(lines(),
              (QStringList{"/usr/local/bin/freeze --db main", kSnapshotLine, "/usr/local/bin/thaw"}));
    const QList<ProcessRequest> runs = runner.runs();
    const ProcessRequest pre = runs.at(0);
    EXPECT_EQ(pre.environment.value("ZFSREP_MISSION"), "5");
    EXPECT_EQ(pre.environment.value("ZFSREP_DATASET"), "tank/db");
    EXPECT_EQ(pre.environment.value("ZFSREP_SNAPSHOT"), kSnapshot);
    EXPECT_EQ(pre.environment.value("ZFSREP_KIND"), "send");
    EXPECT_EQ(pre.environment.value("ZFSREP_PHASE"), "pre");
    EXPECT_EQ(pre.environment.value("ZFSREP_HOOK"), "freeze");
    EXPECT_EQ(pre.finishTimeoutMs, 7000);
    EXPECT_NE(pre.cancel, nullptr) << "a cancel of the run ends the hook";
    EXPECT_EQ(runs.at(2).environment.value("ZFSREP_PHASE"), "post");
    EXPECT_EQ(runs.at(2).environment.value("ZFSREP_SNAPSHOT"), kSnapshot);
}

TEST_F(SnapshotHooksTest, FailingPreFailsBeforeAnySnapshotAndPostStillRuns)
{
    runner.respond("/usr/local/bin/freeze", 3, "", "database busy\n");
    QString snapshot, error;
    EXPECT_FALSE(snapshotWith("freeze", snapshot, error));
    EXPECT_EQ(lines(), (QStringList{"/usr/local/bin/freeze --db main", "/usr/local/bin/thaw"}));
    EXPECT_EQ(error, "hook freeze pre exited with status 3: database busy");
}

TEST_F(SnapshotHooksTest, NonFatalPreFailureLetsTheRunGoOn)
{
    runner.respond("/usr/local/bin/freeze", 1, "", "not frozen\n");
    QString snapshot, error;
    EXPECT_TRUE(snapshotWith("lenient", snapshot, error));
    EXPECT_EQ(lines(),
              (QStringList{"/usr/local/bin/freeze --db main", kSnapshotLine, "/usr/local/bin/thaw"}));
}

TEST_F(SnapshotHooksTest, PostRunsAfterAFailedSnapshotAndItsFailureIsJournaled)
{
    runner.respond("zfs snapshot", 1, "", "cannot create snapshot: out of space\n");
    runner.respond("/usr/local/bin/thaw", 2, "", "thaw failed\n");
    QString snapshot, error;
    EXPECT_FALSE(snapshotWith("freeze", snapshot, error));
    EXPECT_EQ(lines(),
              (QStringList{"/usr/local/bin/freeze --db main", kSnapshotLine, "/usr/local/bin/thaw"}));
    EXPECT_EQ(error, "cannot create snapshot: out of space") << "the snapshot's own error is the run's";
}

TEST_F(SnapshotHooksTest, PostOnlyHookRunsAfterTheSnapshot)
{
    QString snapshot, error;
    ASSERT_TRUE(snapshotWith("after", snapshot, error));
    EXPECT_EQ(lines(), (QStringList{kSnapshotLine, "/usr/local/bin/thaw"}));
}

TEST_F(SnapshotHooksTest, NoHookIsTheSnapshotAlone)
{
    QString snapshot, error;
    ASSERT_TRUE(snapshotWith("", snapshot, error));
    EXPECT_EQ(lines(), QStringList{kSnapshotLine});
}

TEST_F(SnapshotHooksTest, HookNoLongerConfiguredFailsWithoutRunningAnything)
{
    QString snapshot, error;
    EXPECT_FALSE(snapshotWith("gone", snapshot, error));
    EXPECT_TRUE(lines().isEmpty());
    EXPECT_EQ(error, "no hook named gone is configured");
}

} // namespace
