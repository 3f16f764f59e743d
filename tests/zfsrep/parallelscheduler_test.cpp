// Runs side by side: with more than one run slot the scheduler starts every
// due mission the limits allow, each run on its own worker with its own
// progress and record; the others wait (state "waiting") in the order they
// fell due, and one slot keeps the one-at-a-time order.
#include "parallelrunsfixture.h"

namespace {

using namespace parallelruns;

TEST_F(ParallelRuns, TwoRunsToTwoHostsGoAtOnceEachWithItsOwnFigures)
{
    setLimits(4, 1);
    queueHangingStages(2);
    const int toA = appendSend("to A", "hosta", "a");
    const int toB = appendSend("to B", "hostb", "b");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return listed(toA).value("rate").toInt() == 12 && listed(toB).value("rate").toInt() == 12; }))
        << QJsonDocument(listed(toA)).toJson().toStdString() << runner->runLines().join('\n').toStdString();
    EXPECT_EQ(stateOf(toA), "running");
    EXPECT_EQ(stateOf(toB), "running");
    EXPECT_EQ(listed(toB).value("bytes").toInt(), 1000);
    EXPECT_EQ(listed(toB).value("total").toInt(), 8000);
    const LiveRuns live = engine->scheduler().live();
    EXPECT_EQ(live.progress.size(), 2);
    EXPECT_TRUE(live.waiting.isEmpty());
    EXPECT_EQ(live.records.value(toA).msnno, toA);
    EXPECT_EQ(live.records.value(toB).msnno, toB);
    // Both listings agree byte for byte with two runs going.
    expectListingsAgree();
    // The metrics show both running, each with its own start.
    QString text;
    ASSERT_TRUE(engine->metricsText(journals, text));
    EXPECT_TRUE(text.contains(QString("zfsrep_mission_running{msnno=\"%1\",caption=\"to A\"} 1").arg(toA))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString("zfsrep_mission_running{msnno=\"%1\",caption=\"to B\"} 1").arg(toB)));

    // Alive while either run's steps look at their cancel tokens; the last
    // pass once none does.
    setClock(QTime(14, 16, 30));
    EXPECT_EQ(engine->scheduler().heartbeat(), QDateTime(QDate(2024, 3, 4), QTime(14, 16, 30)).toSecsSinceEpoch());
    engine->scheduler().setAliveWindow(0);
    EXPECT_TRUE(eventually([&] {
        return engine->scheduler().heartbeat() == QDateTime(QDate(2024, 3, 4), QTime(10, 16, 0)).toSecsSinceEpoch();
    }));
    engine->scheduler().setAliveWindow(60000);

    // Graceful stop: every running run recorded interrupted.
    ASSERT_TRUE(engine->scheduler().shutdown(10000));
    EXPECT_EQ(lastOutcome(toA), "interrupted");
    EXPECT_EQ(lastOutcome(toB), "interrupted");
    EXPECT_TRUE(engine->scheduler().live().progress.isEmpty());
    QJsonArray events;
    ASSERT_TRUE(engine->events().log().loadByApp(events, "zfsrep"));
    EXPECT_EQ(events.size(), 2) << "each run wrote its event";
}

// maxperhost 1: a second mission to host A waits, listed "waiting", and does
// not hold back the mission to host B behind it; it starts once the first
// run to A ends.
TEST_F(ParallelRuns, ASecondRunToTheSameHostWaitsWithoutHoldingBackAnotherHost)
{
    setLimits(4, 1);
    queueHangingStages(3);
    const int first = appendSend("first to A", "hosta", "a");
    const int second = appendSend("second to A", "hosta", "c");
    const int toB = appendSend("to B", "hostb", "b");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return runner->spawns().size() == 2; }));
    EXPECT_EQ(stateOf(first), "running");
    EXPECT_EQ(stateOf(toB), "running");
    EXPECT_EQ(stateOf(second), "waiting");
    EXPECT_FALSE(listed(second).contains("rate"));
    EXPECT_EQ(engine->scheduler().live().waiting.value(second), "1 run(s) to hosta:22 already go (maxperhost)");
    EXPECT_EQ(listed(second).value("waitreason").toString(), "1 run(s) to hosta:22 already go (maxperhost)");
    EXPECT_FALSE(listed(toB).contains("waitreason"));
    expectListingsAgree();
    EXPECT_TRUE(runsOf(second).isEmpty()) << "a waiting mission has no run yet";

    TQ2Journals cancelled;
    ASSERT_TRUE(engine->scheduler().cancel(cancelled, first));
    ASSERT_TRUE(eventually([&] { return stateOf(second) == "running"; }));
    EXPECT_FALSE(listed(second).contains("waitreason"));
    EXPECT_EQ(lastOutcome(first), "cancelled");
    EXPECT_EQ(stateOf(toB), "running") << "the run to B goes on untouched";
    ASSERT_EQ(runsOf(second).size(), 1);
    EXPECT_GE(runsOf(second).first().started, runsOf(first).first().ended);
}

// Two runs never touch overlapping trees on the same side at once: here on
// this machine (tank/a and tank/a/b) and on one remote host (backup/a and
// backup/a/q). A tree beside them goes at once.
TEST_F(ParallelRuns, OverlappingTreesWaitForEachOtherOnEachSide)
{
    setLimits(8, 8);
    queueHangingStages(4);
    prepareSend("hostb", "a/b");
    prepareSend("hosta", "q", "backup/a");
    const int outer = appendSend("outer", "hosta", "a");
    const int inner = appendSend("inner", "hostb", "a/b");
    const int remote = appendSend("into the replica", "hosta", "q", "[]", "backup/a");
    const int beside = appendSend("beside", "hosta", "x");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return runner->spawns().size() == 2; }));
    EXPECT_EQ(stateOf(outer), "running");
    EXPECT_EQ(stateOf(beside), "running");
    EXPECT_EQ(stateOf(inner), "waiting");
    EXPECT_EQ(stateOf(remote), "waiting");
    const LiveRuns live = engine->scheduler().live();
    EXPECT_EQ(live.waiting.value(inner), QString("overlaps the tree of mission %1 on this machine (tank/a)").arg(outer));
    EXPECT_EQ(live.waiting.value(remote), QString("overlaps the tree of mission %1 on hosta:22 (backup/a)").arg(outer));

    TQ2Journals cancelled;
    ASSERT_TRUE(engine->scheduler().cancel(cancelled, outer));
    ASSERT_TRUE(eventually([&] { return stateOf(inner) == "running" && stateOf(remote) == "running"; }));
    EXPECT_GE(runsOf(inner).first().started, runsOf(outer).first().ended);
}

// One slot (the default): missions due together run one after the other in
// the order they fell due, the next one is listed waiting, and a run-now of
// another mission is refused as it always was.
TEST_F(ParallelRuns, OneSlotKeepsTheOrderAndRefusesRunNowOfAnother)
{
    queueHangingStages(2);
    const int first = appendSend("first", "hosta", "a");
    const int second = appendSend("second", "hostb", "b");
    const int third = appendSend("third", "hostc", "c", R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return stateOf(first) == "running" && runner->spawns().size() == 1; }));
    EXPECT_EQ(stateOf(second), "waiting");
    TQ2Journals refused;
    EXPECT_FALSE(engine->scheduler().runNow(refused, third));
    EXPECT_EQ(refused.err(), TQ2Error::ERR_BUSY);
    EXPECT_EQ(refused.errmsg(), QString::fromUtf8("另一个任务正在运行: %1 (first)").arg(first));
    TQ2Journals itself;
    EXPECT_FALSE(engine->scheduler().runNow(itself, first));
    EXPECT_EQ(itself.errmsg(), QString::fromUtf8("任务正在运行: %1").arg(first));

    TQ2Journals cancelled;
    ASSERT_TRUE(engine->scheduler().cancel(cancelled, first));
    ASSERT_TRUE(eventually([&] { return stateOf(second) == "running" && runner->spawns().size() == 2; }));
    EXPECT_NE(stateOf(first), "running");
    ASSERT_TRUE(engine->scheduler().cancel(cancelled, second));
    ASSERT_TRUE(eventually([&] { return lastOutcome(second) == "cancelled"; }));
    const QStringList spawned = [&] {
        QStringList lines;
        for (const ProcessRequest &stage : runner->spawns())
            lines.append(FakeRunner::commandLine(stage));
        return lines;
    }();
    ASSERT_EQ(spawned.size(), 2);
    EXPECT_TRUE(spawned.at(0).contains("tank/a@")) << "in the order they fell due";
    EXPECT_TRUE(spawned.at(1).contains("tank/b@"));
    EXPECT_TRUE(runsOf(third).isEmpty());
}

} // namespace
