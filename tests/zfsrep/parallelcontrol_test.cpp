// Control of runs going side by side: a run-now that must wait, a cancel
// while waiting, a removed mission among two running ones, and the stall
// watchdog ending each of two stalled runs.
#include "parallelrunsfixture.h"

namespace {

using namespace parallelruns;

// With more slots a run-now of a mission that cannot start yet is accepted
// and waits; cancelling it takes it out of the queue and ends its recorded
// run as cancelled, and a scheduled mission keeps its next time.
TEST_F(ParallelRuns, ARunNowThatMustWaitIsQueuedAndCanBeCancelledWhileWaiting)
{
    setLimits(2, 1);
    queueHangingStages(1);
    const int going = appendSend("going", "hosta", "a");
    const int asked = appendSend("asked", "hosta", "b", R"([{"minutes":[40]}])");
    ASSERT_TRUE(engine->start(journals));
    TQ2Journals accepted;
    ASSERT_TRUE(engine->scheduler().runNow(accepted, going));
    ASSERT_TRUE(eventually([&] { return runner->spawns().size() == 1; }));
    qint64 runno = 0;
    ASSERT_TRUE(engine->scheduler().runNow(accepted, asked, &runno)) << accepted.errmsg().toStdString();
    EXPECT_GT(runno, 0);
    ASSERT_TRUE(eventually([&] { return stateOf(asked) == "waiting"; }));
    EXPECT_EQ(listed(asked).value("lastresult").toString(), "running") << "its run is recorded, as for every run-now";
    TQ2Journals twice;
    EXPECT_TRUE(engine->scheduler().runNow(twice, asked)) << "asked again while it waits: the same run";

    TQ2Journals cancel;
    ASSERT_TRUE(engine->scheduler().cancel(cancel, asked));
    EXPECT_NE(stateOf(asked), "waiting");
    ASSERT_EQ(runsOf(asked).size(), 1);
    EXPECT_EQ(runsOf(asked).first().runno, runno);
    EXPECT_EQ(runsOf(asked).first().outcome, "cancelled");
    EXPECT_EQ(engine->dueTable().entries().value(asked), QDateTime(QDate(2024, 3, 4), QTime(10, 40)).toSecsSinceEpoch());
    TQ2Journals notThere;
    EXPECT_FALSE(engine->scheduler().cancel(notThere, asked));
    EXPECT_EQ(notThere.err(), TQ2Error::ERR_NOT_ACTIVE);
    EXPECT_EQ(stateOf(going), "running") << "the other run goes on";
}

// Removing one of two running missions ends its run only; the other goes on.
TEST_F(ParallelRuns, RemovingOneOfTwoRunningMissionsEndsOnlyItsRun)
{
    setLimits(4, 1);
    queueHangingStages(2);
    const int kept = appendSend("kept", "hosta", "a");
    const int removed = appendSend("removed", "hostb", "b");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return runner->spawns().size() == 2; }));
    // The clean-up after a removed send lists the tree it was receiving into.
    auto targetListings = [&] {
        return runner->runLines().filter("receive_resume_token,written backup/b").size();
    };
    const int listedBefore = targetListings();
    TQ2Journals removal;
    ASSERT_TRUE(engine->removeMission(removal, removed)) << removal.errmsg().toStdString();
    // Its history goes with the mission; its transfer is ended.
    ASSERT_TRUE(eventually([&] { return runner->terminated() == 1 && !engine->scheduler().live().progress.contains(removed); }));
    EXPECT_TRUE(listed(removed).isEmpty());
    EXPECT_TRUE(eventually([&] { return targetListings() == listedBefore + 1; }))
        << "cleaned up once its run ended, while the other run goes on";
    EXPECT_EQ(stateOf(kept), "running");
    EXPECT_EQ(lastOutcome(kept), "running");
    EXPECT_FALSE(engine->scheduler().live().progress.contains(removed));
    EXPECT_FALSE(engine->dueTable().entries().contains(removed));
}

// The stall watchdog ends each of two stalled transfers on its own.
TEST_F(ParallelRuns, EachOfTwoStalledRunsIsEndedByTheWatchdog)
{
    engine->settings().stallTimeoutSeconds = 1;
    setLimits(4, 1);
    queueHangingStages(2);
    const int toA = appendSend("to A", "hosta", "a");
    const int toB = appendSend("to B", "hostb", "b");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return lastOutcome(toA) == "stalled" && lastOutcome(toB) == "stalled"; }, 15000))
        << lastOutcome(toA).toStdString() << " " << lastOutcome(toB).toStdString();
    // The record is written before the run leaves the running set.
    EXPECT_TRUE(eventually([&] { return engine->scheduler().live().progress.isEmpty(); }));
    EXPECT_EQ(runner->terminated(), 2);
}

} // namespace
