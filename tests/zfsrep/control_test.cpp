// Operator control of the scheduler with a fake runner and a frozen clock:
// run now without waiting for the minute, cancel the running transfer, and
// what the history, the listing, the event log and the metrics file show.
#include "fakerunner.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "runhistory.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

namespace {

// Polls `condition` for up to five seconds.
bool eventually(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (condition())
            return true;
        QThread::msleep(5);
    }
    return condition();
}

const QString kRemoteZfs = "sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                           "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@h /usr/sbin/zfs ";

const char *kYearly = R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])";

class Control : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine = std::make_unique<MXZfsrep>();
        engine->setRunner(runner);
        engine->setDatabasePath(dir.filePath("zfsrep.db"));
        engine->events().open(dir.filePath("tarnlog.db"));
        // The clock never reaches the next minute: only a run-now request
        // can start a mission.
        engine->setClock([] { return QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20)); });
        engine->scheduler().setTickInterval(5);
        engine->settings().sshControlDirectory = QString();
        ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject{{"metricsfile", dir.filePath("zfsrep.prom")}}));
        runner->respond("zfs list -t snapshot -H -o name tank/data", 0, "tank/data@a\n");
        // The local dataset has one snapshot, the remote side nothing yet:
        // every run is a full stream.
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data", 0,
                        "tank/data\treceive_resume_token\t-\n");
        runner->respond("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data", 0,
                        "tank/data@a\t11\t5\n");
        // A stream that ended well left the snapshot on the target, which the
        // run lists again to verify it.
        runner->onStageSucceeded = [this](const ProcessRequest &) {
            runner->respondOnce(kRemoteZfs + "get", 0, "backup/data\treceive_resume_token\t-\n");
            runner->respondOnce(kRemoteZfs + "list", 0, "backup/data@a\t11\t5\n");
        };
        // The replica's parent, which the run checks before its snapshot.
        runner->respond(kRemoteZfs + "list -H -p -o name,guid,createtxg,receive_resume_token,written -t filesystem,volume,snapshot -s createtxg -d 1 backup",
                        0, "backup\t7\t1\t-\t0\n");
        runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                        "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@h /usr/sbin/zfs list",
                        1, "", "cannot open 'backup/data': dataset does not exist\n");
    }

    void TearDown() override { EXPECT_TRUE(engine->scheduler().shutdown(5000)); }

    int append(const QString &caption, const char *schedules = kYearly)
    {
        const QJsonObject mission{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                                  {"path", "backup"}, {"host", "h"}, {"port", 22}, {"userid", "zr"},
                                  {"passwd", "pw"}, {"snapname", "ZFSREP"},
                                  {"schedules", QJsonDocument::fromJson(schedules).array()}};
        EXPECT_TRUE(engine->appendMission(journals, mission));
        QJsonArray rows;
        engine->db().call(rows, "mission_detail", QJsonObject{{"caption", caption}});
        return rows.at(0).toObject().value("msnno").toInt();
    }

    QList<RunRecord> runs(int msnno)
    {
        QList<RunRecord> list;
        engine->history().list(list, msnno, 50);
        return list;
    }

    // The mission's listing row.
    QJsonObject listed(int msnno)
    {
        QJsonObject result;
        TQ2Journals listJournals;
        EXPECT_TRUE(engine->listing().list(listJournals, result, 1, 999));
        for (const QJsonValue &row : result.value("records").toArray()) {
            if (row.toObject().value("msnno").toInt() == msnno)
                return row.toObject();
        }
        return QJsonObject();
    }

    bool finishedRun(int msnno)
    {
        const QList<RunRecord> list = runs(msnno);
        return !list.isEmpty() && list.first().outcome != "running";
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
};

TEST_F(Control, RunNowStartsAMissionWithoutWaitingForTheMinute)
{
    const int msnno = append("yearly");
    EXPECT_EQ(listed(msnno).value("state").toString(), "armed");
    ASSERT_TRUE(engine->start(journals));
    TQ2Journals request;
    ASSERT_TRUE(engine->scheduler().runNow(request, msnno)) << request.errmsg().toStdString();
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno); }));
    const RunRecord run = runs(msnno).first();
    EXPECT_EQ(run.outcome, "succeeded");
    EXPECT_EQ(run.caption, "yearly");
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(runner->runLines().contains("zfs snapshot -r -o zfsrep:mission=" + engine->settings().instance + ":"
                                             + QString::number(msnno) + " tank/data@ZFSREP_20240304101520"));
    // The scheduled send is armed again for its next scheduled time.
    ASSERT_TRUE(eventually([&] { return listed(msnno).value("state").toString() == "armed"; }));
    EXPECT_EQ(listed(msnno).value("lastresult").toString(), "succeeded");
    EXPECT_EQ(listed(msnno).value("nextrun").toDouble(),
              QDateTime(QDate(2025, 1, 1), QTime(0, 0)).toSecsSinceEpoch());
}

TEST_F(Control, RunNowIsRefusedWithAReason)
{
    const int idle = append("idle");
    TQ2Journals beforeStart;
    EXPECT_FALSE(engine->scheduler().runNow(beforeStart, idle));
    EXPECT_EQ(beforeStart.err(), TQ2Error::ERR_NOT_ACTIVE);

    FakeStage hanging;
    hanging.hangs = true;
    runner->queueStage(hanging);
    const int busy = append("busy");
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(engine->scheduler().runNow(journals, busy));
    ASSERT_TRUE(eventually([&] { return engine->scheduler().progress().value("msnno").toInt() == busy; }));

    const struct {
        const char *name;
        int msnno;
        int err;
        QString message;
    } cases[] = {
        {"missing mission", 999, TQ2Error::ERR_NOT_EXISTS, QString::fromUtf8("任务不存在: 999")},
        {"the running one", busy, TQ2Error::ERR_BUSY, QString::fromUtf8("任务正在运行: %1").arg(busy)},
        {"while another runs", idle, TQ2Error::ERR_BUSY,
         QString::fromUtf8("另一个任务正在运行: %1 (busy)").arg(busy)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TQ2Journals refused;
        EXPECT_FALSE(engine->scheduler().runNow(refused, c.msnno));
        EXPECT_EQ(refused.err(), c.err);
        EXPECT_EQ(refused.errmsg(), c.message);
    }
    EXPECT_EQ(listed(busy).value("state").toString(), "running");
    EXPECT_EQ(listed(idle).value("state").toString(), "armed");
    TQ2Journals cancel;
    EXPECT_TRUE(engine->scheduler().cancel(cancel, busy));
}

TEST_F(Control, CancelEndsTheTransferRecordsItAndTheSchedulerGoesOn)
{
    FakeStage hanging;
    hanging.hangs = true;
    hanging.chunks = {"[ 4.0MiB/s] [=>    ]  12%\r"};
    runner->queueStage(hanging);
    const int msnno = append("slow");
    const int other = append("other");
    ASSERT_TRUE(engine->start(journals));

    TQ2Journals notRunning;
    EXPECT_FALSE(engine->scheduler().cancel(notRunning, msnno));
    EXPECT_EQ(notRunning.err(), TQ2Error::ERR_NOT_ACTIVE);

    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    // The run is published before its snapshot is taken; the cancel must
    // reach the transfer itself, so wait for its stage to be running.
    ASSERT_TRUE(eventually([&] { return runner->spawns().size() == 1; }));
    EXPECT_EQ(engine->scheduler().progress().value("msnno").toInt(), msnno);
    TQ2Journals wrongOne;
    EXPECT_FALSE(engine->scheduler().cancel(wrongOne, other)) << "only the running mission can be cancelled";
    EXPECT_EQ(wrongOne.err(), TQ2Error::ERR_NOT_ACTIVE);

    TQ2Journals cancel;
    ASSERT_TRUE(engine->scheduler().cancel(cancel, msnno));
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno); }));
    EXPECT_EQ(runs(msnno).first().outcome, "cancelled");
    EXPECT_EQ(runner->terminated(), 1);
    EXPECT_TRUE(engine->scheduler().isRunning()) << "a cancel does not stop the scheduler";

    // The next request runs normally and is not affected by the old cancel.
    ASSERT_TRUE(eventually([&] { return engine->scheduler().progress().isEmpty(); }));
    ASSERT_TRUE(engine->scheduler().runNow(journals, other));
    ASSERT_TRUE(eventually([&] { return finishedRun(other); }));
    EXPECT_EQ(runs(other).first().outcome, "succeeded");
}

TEST_F(Control, FailedRunShowsTheToolsMessageInHistoryListingAndEvent)
{
    runner->respond("zfs snapshot", 1, "", "cannot create snapshot 'tank/data@x': out of space\n");
    const int msnno = append("failing", "[]");
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno); }));

    const RunRecord run = runs(msnno).first();
    EXPECT_EQ(run.outcome, "failed");
    EXPECT_TRUE(run.error.contains("out of space")) << run.error.toStdString();
    EXPECT_GT(run.ended, 0);
    ASSERT_TRUE(eventually([&] { return listed(msnno).value("state").toString() == "failed"; }));
    const QJsonObject row = listed(msnno);
    EXPECT_EQ(row.value("lastresult").toString(), "failed");
    EXPECT_EQ(row.value("lasterror").toString(), run.error);
    EXPECT_EQ(row.value("lastrun").toDouble(), run.started);
    EXPECT_EQ(row.value("nextrun").toDouble(), 0);

    QJsonArray events;
    ASSERT_TRUE(engine->events().log().loadByApp(events, "zfsrep"));
    ASSERT_EQ(events.size(), 1);
    const QJsonObject detail =
        QJsonDocument::fromJson(events.at(0).toObject().value("sparefield1").toString().toUtf8()).object();
    EXPECT_EQ(detail.value("result").toInt(), 0);
    EXPECT_EQ(detail.value("error").toString(), run.error);

    // The metrics file was written after the run and names the outcome.
    ASSERT_TRUE(eventually([&] {
        QFile metrics(dir.filePath("zfsrep.prom"));
        return metrics.open(QIODevice::ReadOnly)
               && QString::fromUtf8(metrics.readAll())
                      .contains(QStringLiteral("zfsrep_mission_last_run_outcome{msnno=\"%1\",caption=\"failing\","
                                               "outcome=\"failed\"} 1")
                                    .arg(msnno));
    }));
}

TEST_F(Control, RunNowAnswersTheNumberOfTheRunItRecorded)
{
    const int msnno = append("numbered");
    ASSERT_TRUE(engine->start(journals));
    qint64 first = 0;
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno, &first));
    ASSERT_GT(first, 0);
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno) && engine->scheduler().progress().isEmpty(); }));
    EXPECT_EQ(runs(msnno).first().runno, first) << "the answered number is the run that ran";
    qint64 second = 0;
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno, &second));
    EXPECT_GT(second, first);
    ASSERT_TRUE(eventually([&] { return runs(msnno).size() == 2 && finishedRun(msnno); }));
    EXPECT_EQ(runs(msnno).first().runno, second);
}

TEST_F(Control, RunNowOfAFinishedMissionRunsItAgain)
{
    const int msnno = append("once", "[]");
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno) && engine->scheduler().progress().isEmpty(); }));
    ASSERT_TRUE(eventually([&] { return listed(msnno).value("done").toInt() == 1; }));
    EXPECT_EQ(listed(msnno).value("state").toString(), "done");
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    ASSERT_TRUE(eventually([&] { return runs(msnno).size() == 2 && finishedRun(msnno); }));
    EXPECT_EQ(runs(msnno).first().outcome, "succeeded");
}

} // namespace

namespace {

TEST_F(Control, AChangeDuringARunIsWhatTheNextArmingUses)
{
    const int msnno = append("Changing");
    const QJsonObject changed{{"msnno", msnno}, {"caption", "Changing"}, {"action", 1}, {"pool", "tank"},
                              {"name", "data"}, {"path", "backup"}, {"host", "h"}, {"port", 22}, {"userid", "zr"},
                              {"passwd", "pw"}, {"snapname", "ZFSREP"},
                              {"schedules", QJsonDocument::fromJson(R"([{"hours":[11],"minutes":[0]}])").array()}};
    FakeStage stage;
    stage.chunks = {"1.0 10\r\n"};
    stage.onStart = [&] {
        TQ2Journals changing;
        EXPECT_TRUE(engine->changeMission(changing, changed));
    };
    runner->queueStage(stage);
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    ASSERT_TRUE(eventually([&] { return finishedRun(msnno) && engine->scheduler().progress().isEmpty(); }));
    EXPECT_EQ(runs(msnno).first().outcome, "succeeded");
    EXPECT_EQ(engine->dueTable().entries().value(msnno), QDateTime(QDate(2024, 3, 4), QTime(11, 0)).toSecsSinceEpoch())
        << "armed from the stored change, not from the row the run read";
}

TEST_F(Control, RemovingTheRunningMissionCancelsItWithNoEraseAndNoArming)
{
    const int msnno = append("Removed");
    FakeStage hanging;
    hanging.chunks = {"1.0 10\r\n"};
    hanging.hangs = true;
    hanging.onStart = [&] {
        TQ2Journals removing;
        EXPECT_TRUE(engine->removeMission(removing, msnno));
    };
    runner->queueStage(hanging);
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(engine->scheduler().runNow(journals, msnno));
    ASSERT_TRUE(eventually([&] { return runner->terminated() == 1 && engine->scheduler().progress().isEmpty(); }))
        << "the stream was ended";
    EXPECT_TRUE(runs(msnno).isEmpty()) << "the mission's history went with it";
    EXPECT_FALSE(engine->dueTable().entries().contains(msnno)) << "a removed mission is never armed again";
    for (const QString &line : runner->runLines())
        EXPECT_FALSE(line.contains("destroy") || line.contains("release")) << line.toStdString();
    QJsonObject row;
    TQ2Journals lookup;
    EXPECT_FALSE(engine->missions().row(lookup, msnno, row));
}

} // namespace
