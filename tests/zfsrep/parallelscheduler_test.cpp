// Runs side by side: with more than one run slot the scheduler starts every
// due mission the limits allow, each run on its own worker with its own
// progress, record and cancel; the others wait (state "waiting") in the order
// they fell due. The transfers hang in the fake runner until cancelled.
#include "fakerunner.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "tq2dbsqlite.h"
#include "runhistory.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <mutex>

namespace {

bool eventually(const std::function<bool()> &condition, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (condition())
            return true;
        QThread::msleep(5);
    }
    return condition();
}

QString sshTo(const QString &host)
{
    return "sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts "
           "-o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@"
           + host + " ";
}

class ParallelRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine = std::make_unique<MXZfsrep>();
        engine->setRunner(runner);
        engine->setDatabasePath(dir.filePath("zfsrep.db"));
        engine->events().open(dir.filePath("tarnlog.db"));
        engine->setClock([this] {
            std::lock_guard<std::mutex> lock(clockMutex);
            return clockNow;
        });
        engine->scheduler().setTickInterval(5);
        engine->settings().sshControlDirectory = QString();
        ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject()));
        runner->respond("zfs send -nvP", 0, "size\t8000\n");
        runner->respond("zfs list -pj", 0, "{}");
        runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{}}})");
    }

    void TearDown() override { EXPECT_TRUE(engine->scheduler().shutdown(10000)); }

    void setClock(const QTime &time)
    {
        std::lock_guard<std::mutex> lock(clockMutex);
        clockNow = QDateTime(QDate(2024, 3, 4), time);
    }

    // A send of tank/NAME to HOST:backup whose transfer hangs until it is
    // cancelled (a first, full send: the replica does not exist).
    int appendSend(const QString &caption, const QString &host, const QString &name, const QString &schedules = "[]",
                   const QString &path = "backup")
    {
        prepareSend(host, name, path);
        return append(QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", name},
                                  {"path", path}, {"host", host}, {"port", 22}, {"userid", "zr"},
                                  {"passwd", "pw"}, {"snapname", "ZFSREP"},
                                  {"schedules", QJsonDocument::fromJson(schedules.toUtf8()).array()}});
    }

    // The answers a first send of tank/NAME to HOST:PATH gets. The first rule
    // whose prefix matches wins: a dataset inside another is prepared first.
    void prepareSend(const QString &host, const QString &name, const QString &path = "backup")
    {
        const QString target = path + "/" + name;
        runner->respond("zfs list -t snapshot -H -o name tank/" + name, 0, ("tank/" + name + "@a\n").toUtf8());
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/"
                            + name,
                        0, ("tank/" + name + "\treceive_resume_token\t-\n").toUtf8());
        runner->respond("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/" + name, 0,
                        ("tank/" + name + "@a\t11\t5\n").toUtf8());
        runner->respond(sshTo(host) + "zfs list -H -o name", 0, "backup\n");
        runner->respond(sshTo(host) + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume "
                                      "receive_resume_token,written " + target,
                        1, "", ("cannot open '" + target + "': dataset does not exist\n").toUtf8());
    }

    int append(const QJsonObject &mission)
    {
        EXPECT_TRUE(engine->appendMission(journals, mission));
        QJsonArray rows;
        engine->db().call(rows, "mission_detail", QJsonObject{{"caption", mission.value("caption")}});
        return rows.at(0).toObject().value("msnno").toInt();
    }

    void queueHangingStages(int count)
    {
        for (int i = 0; i < count; ++i) {
            FakeStage hanging;
            hanging.hangs = true;
            hanging.chunks = {"1.0 1000\r\n"};
            runner->queueStage(hanging);
        }
    }

    void setLimits(int parallel, int perHost)
    {
        RunLimits limits;
        limits.maxParallel = parallel;
        limits.maxPerHost = perHost;
        engine->scheduler().setLimits(limits);
    }

    QJsonObject listed(int msnno)
    {
        QJsonObject result;
        TQ2Journals listing;
        engine->listing().list(listing, result, 1, 99999999);
        for (const QJsonValue &row : result.value("records").toArray()) {
            if (row.toObject().value("msnno").toInt() == msnno)
                return row.toObject();
        }
        return QJsonObject();
    }
    QString stateOf(int msnno) { return listed(msnno).value("state").toString(); }

    // list and listJson give the same text; the live figures that move with
    // time between the two readings ("speed", "eta") are left out.
    void expectListingsAgree()
    {
        QJsonObject result;
        QByteArray json;
        ASSERT_TRUE(engine->listing().list(journals, result, 1, 99999999));
        ASSERT_TRUE(engine->listing().listJson(journals, json, 1, 99999999));
        QJsonObject reread = QJsonDocument::fromJson(json).object();
        ASSERT_FALSE(reread.isEmpty()) << json.constData();
        for (QJsonObject *answer : {&result, &reread}) {
            QJsonArray records = answer->value("records").toArray();
            for (int i = 0; i < records.size(); ++i) {
                QJsonObject row = records.at(i).toObject();
                for (const char *key : {"speed", "eta"})
                    row.remove(key);
                records.replace(i, row);
            }
            answer->insert("records", records);
        }
        EXPECT_EQ(QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString(),
                  QJsonDocument(reread).toJson(QJsonDocument::Compact).toStdString());
    }

    QList<RunRecord> runsOf(int msnno)
    {
        QList<RunRecord> runs;
        engine->history().list(runs, msnno, 50);
        return runs;
    }
    QString lastOutcome(int msnno)
    {
        const QList<RunRecord> runs = runsOf(msnno);
        return runs.isEmpty() ? QString() : runs.first().outcome;
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
    std::mutex clockMutex;
    QDateTime clockNow = QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20));
};

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
