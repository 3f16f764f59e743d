#include "fakerunner.h"
#include "tq2error.h"
#include "runhistory.h"
#include "duetable.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <mutex>

namespace {

const QString kSsh = "sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@h ";

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

class Scheduler : public ::testing::Test
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
        runner->respond("zfs list -t snapshot -H -o name tank/data", 0, "tank/data@a\n");
        runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@h zfs list -H -o name", 0,
                        "backup/data@a\n");
        runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@h zfs list -H -o name -t snapshot 'backup'",
                        0, "backup@a\nbackup@b\n");
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data.zfsrep-incoming",
                        1, "", "cannot open 'tank/data.zfsrep-incoming': dataset does not exist\n");
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data", 0,
                        "tank/data\treceive_resume_token\t-\n");
        runner->respond("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data", 0,
                        "tank/data@a\t11\t5\n");
        runner->respond(kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written backup",
                        0, "backup\treceive_resume_token\t-\n");
        runner->respond(kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r backup",
                        0, "backup@a\t21\t5\n");
        // What a stream that ended well left on its target, for the listing
        // that verifies it: the pulled tree locally, the sent one remotely.
        runner->onStageSucceeded = [this](const ProcessRequest &stage) {
            if (stage.arguments.join(' ').contains("tank/data.zfsrep-incoming")) {
                runner->respondOnce("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written "
                                    "tank/data.zfsrep-incoming", 0, "tank/data.zfsrep-incoming\treceive_resume_token\t-\n");
                runner->respondOnce("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r "
                                    "tank/data.zfsrep-incoming", 0, "tank/data.zfsrep-incoming@a\t21\t5\n");
            } else {
                runner->respondOnce(kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume "
                                           "receive_resume_token,written backup/data", 0, "backup/data\treceive_resume_token\t-\n");
                runner->respondOnce(kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r "
                                           "backup/data", 0, "backup/data@a\t11\t5\n");
            }
        };
        runner->respond("zfs list -pj", 0, "{}");
        runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{}}})");
    }

    void TearDown() override { EXPECT_TRUE(engine->scheduler().shutdown(5000)); }

    void setClock(const QTime &time)
    {
        std::lock_guard<std::mutex> lock(clockMutex);
        clockNow = QDateTime(QDate(2024, 3, 4), time);
    }

    int append(const QString &caption, int action, const QString &schedules = "[]")
    {
        const QJsonObject mission{{"caption", caption}, {"action", action}, {"pool", "tank"}, {"name", "data"},
                                  {"path", action == 2 ? "backup" : "backup"}, {"host", "h"}, {"port", 22},
                                  {"userid", "zr"}, {"passwd", "pw"}, {"snapname", "ZFSREP"},
                                  {"schedules", QJsonDocument::fromJson(schedules.toUtf8()).array()}};
        EXPECT_TRUE(engine->appendMission(journals, mission));
        QJsonArray rows;
        engine->db().call(rows, "mission_detail", QJsonObject{{"caption", caption}});
        return rows.at(0).toObject().value("msnno").toInt();
    }

    QJsonObject row(int msnno)
    {
        QJsonArray rows;
        engine->db().call(rows, "mission_acquit", QJsonObject{{"msnno", msnno}});
        return rows.at(0).toObject();
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
    std::mutex clockMutex;
    QDateTime clockNow = QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20));
};

TEST_F(Scheduler, UnscheduledMissionRunsOnceAtTheNextMinute)
{
    const int msnno = append("once", 1);
    ASSERT_TRUE(engine->start(journals));
    QThread::msleep(50);
    EXPECT_EQ(row(msnno).value("finishedtime").toString(), "") << "nothing runs within the same minute";
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }));
    EXPECT_EQ(row(msnno).value("done").toInt(), 1);
    EXPECT_TRUE(runner->runLines().contains("zfs snapshot -r -o zfsrep:mission=" + engine->settings().instance + ":"
                                             + QString::number(msnno) + " tank/data@ZFSREP_20240304101600"));
    // The successful send armed it again with due time 1; the next pass drops it as done.
    setClock(QTime(10, 17, 0));
    ASSERT_TRUE(eventually([&] { return engine->dueTable().entries().isEmpty(); }));
    EXPECT_EQ(runner->runLines().filter("zfs snapshot").size(), 1);
}

// The loop naps a tick between looks at the clock, but never past the end of
// the minute: a mission due at the minute change starts right after it even
// with a tick far longer than the wait.
TEST_F(Scheduler, MinuteChangeIsSeenWithoutWaitingForTheTick)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const QDateTime base(QDate(2024, 3, 4), QTime(10, 15, 59, 600));
    engine->setClock([base, elapsed] { return base.addMSecs(elapsed.elapsed()); });
    engine->scheduler().setTickInterval(60000);
    const int msnno = append("at the change", 1);
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }))
        << "not run within 5 s of the minute change";
    EXPECT_TRUE(runner->runLines().contains("zfs snapshot -r -o zfsrep:mission=" + engine->settings().instance + ":"
                                             + QString::number(msnno) + " tank/data@ZFSREP_20240304101600"));
}

TEST_F(Scheduler, ScheduledSendIsArmedAgainAfterItsRun)
{
    const int msnno = append("hourly", 1, R"([{"minutes":[20]}])");
    const qint64 first = QDateTime(QDate(2024, 3, 4), QTime(10, 20)).toSecsSinceEpoch();
    EXPECT_EQ(engine->dueTable().entries().value(msnno), first);
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 19, 0));
    QThread::msleep(50);
    EXPECT_EQ(row(msnno).value("finishedtime").toString(), "") << "not due before 10:20";
    setClock(QTime(10, 20, 0));
    const qint64 next = QDateTime(QDate(2024, 3, 4), QTime(11, 20)).toSecsSinceEpoch();
    // The mission is armed again before its row is stamped: wait for both.
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }));
    EXPECT_EQ(engine->dueTable().entries().value(msnno), next);
    EXPECT_EQ(row(msnno).value("done").toInt(), 0);
}

TEST_F(Scheduler, SuccessfulReceiveIsRetired)
{
    const int msnno = append("pull", 2, R"([{"minutes":[16]}])");
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }));
    EXPECT_EQ(row(msnno).value("done").toInt(), 1);
    EXPECT_FALSE(engine->dueTable().entries().contains(msnno));
}

TEST_F(Scheduler, FailedScheduledSendIsArmedAgainUnknownActionIsNot)
{
    runner->respond("zfs snapshot", 1, "", "out of space\n");
    const int failing = append("failing", 1, R"([{"minutes":[16]}])");
    const int unknown = append("unknown", 7);
    const int oneShot = append("one-shot", 1);
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    ASSERT_TRUE(eventually([&] {
        return !row(failing).value("finishedtime").toString().isEmpty()
               && !row(oneShot).value("finishedtime").toString().isEmpty()
               && !engine->dueTable().problem(unknown).isEmpty();
    }));
    // A one-shot that failed is not retried.
    EXPECT_FALSE(engine->dueTable().entries().contains(oneShot));
    EXPECT_EQ(row(failing).value("done").toInt(), 0);
    // A row with an action the service does not know is not run and not
    // marked done: it keeps its reason for the listing.
    EXPECT_EQ(row(unknown).value("done").toInt(), 0);
    EXPECT_EQ(row(unknown).value("finishedtime").toString(), "");
    EXPECT_EQ(engine->dueTable().problem(unknown), QString::fromUtf8("参数无效: action: 7"));
    // One failure must not end a schedule: the send runs again at 11:16;
    // the one-shot stays out of the due table.
    ASSERT_TRUE(eventually([&] { return engine->dueTable().entries().size() == 1; }));
    EXPECT_EQ(engine->dueTable().entries().value(failing), QDateTime(QDate(2024, 3, 4), QTime(11, 16)).toSecsSinceEpoch());
    EXPECT_TRUE(runner->spawns().isEmpty());
}

// The run history refuses every new run, as with a full disk under the
// database, until unblock() is called.
class UnrecordedRuns : public Scheduler
{
protected:
    void block()
    {
        int changes = 0;
        int lastId = 0;
        ASSERT_TRUE(engine->db().exec(changes, lastId,
                                      "CREATE TRIGGER full_disk BEFORE INSERT ON t_run "
                                      "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;"));
    }
    void unblock()
    {
        int changes = 0;
        int lastId = 0;
        ASSERT_TRUE(engine->db().exec(changes, lastId, "DROP TRIGGER full_disk;"));
    }
    int runsOf(int msnno)
    {
        QList<RunRecord> runs;
        engine->history().list(runs, msnno, 50);
        return runs.size();
    }
};

TEST_F(UnrecordedRuns, ARunNowWhoseStartCannotBeRecordedIsRefusedAndDoesNotRun)
{
    const int msnno = append("yearly", 1, R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])");
    ASSERT_TRUE(engine->start(journals));
    block();
    TQ2Journals refused;
    EXPECT_FALSE(engine->scheduler().runNow(refused, msnno));
    EXPECT_EQ(refused.err(), TQ2Error::ERR_SQLERROR);
    EXPECT_TRUE(refused.errmsg().startsWith("the run's start cannot be recorded: "));
    EXPECT_TRUE(refused.errmsg().contains("database or disk is full")) << refused.errmsg().toStdString();
    QThread::msleep(100);
    EXPECT_TRUE(runner->runLines().filter("zfs snapshot").isEmpty()) << "nothing ran";
    EXPECT_EQ(runsOf(msnno), 0);

    unblock();
    TQ2Journals accepted;
    ASSERT_TRUE(engine->scheduler().runNow(accepted, msnno)) << accepted.errmsg().toStdString();
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }));
    EXPECT_EQ(runner->runLines().filter("zfs snapshot").size(), 1);
    ASSERT_TRUE(eventually([&] {
        QList<RunRecord> runs;
        engine->history().list(runs, msnno, 50);
        return runs.size() == 1 && runs.at(0).outcome != "running";
    })) << "the run recorded at the request is the one that ran";
}

TEST_F(UnrecordedRuns, ADueRunWhoseStartCannotBeRecordedWaitsArmedForTheNextMinute)
{
    const int msnno = append("once", 1);
    ASSERT_TRUE(engine->start(journals));
    block();
    setClock(QTime(10, 16, 0));
    // The pass takes the mission and puts it back for the next minute.
    ASSERT_TRUE(eventually([&] { return engine->scheduler().lastPass() == QDateTime(QDate(2024, 3, 4), QTime(10, 16)).toSecsSinceEpoch(); }));
    ASSERT_TRUE(eventually([&] { return engine->dueTable().entries().value(msnno, -1) == DueTable::kNextPass; }));
    EXPECT_TRUE(runner->runLines().filter("zfs snapshot").isEmpty()) << "nothing ran";
    EXPECT_EQ(row(msnno).value("finishedtime").toString(), "");
    EXPECT_EQ(runsOf(msnno), 0);

    unblock();
    setClock(QTime(10, 17, 0));
    ASSERT_TRUE(eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }));
    EXPECT_TRUE(runner->runLines().contains("zfs snapshot -r -o zfsrep:mission=" + engine->settings().instance + ":"
                                             + QString::number(msnno) + " tank/data@ZFSREP_20240304101700"));
    EXPECT_EQ(runsOf(msnno), 1);
}

TEST_F(Scheduler, ProgressIsListedWhileRunningAndShutdownRecordsTheOutcome)
{
    runner->respondOnce(kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written "
                               "backup/data", 1, "", "cannot open 'backup/data': dataset does not exist\n");
    runner->respond("zfs send -nvP", 0, "size\t8000\n");
    FakeStage hanging;
    hanging.hangs = true;
    hanging.chunks = {"1.0 1000\r\n"};
    runner->queueStage(hanging);
    const int msnno = append("watched", 1);
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    auto listed = [&] {
        QJsonObject result;
        engine->listing().list(journals, result, 1, 99999999);
        return result.value("records").toArray().at(0).toObject();
    };
    ASSERT_TRUE(eventually([&] { return listed().value("rate").toInt() == 12; }));
    EXPECT_EQ(listed().value("speed").toString(), "0.98KiB/s");
    EXPECT_EQ(listed().value("bytes").toInt(), 1000);
    EXPECT_EQ(listed().value("total").toInt(), 8000);
    EXPECT_EQ(engine->scheduler().progress().value("msnno").toInt(), msnno);

    ASSERT_TRUE(engine->scheduler().shutdown(10000));
    EXPECT_FALSE(listed().contains("rate"));
    EXPECT_TRUE(engine->scheduler().progress().isEmpty());
    EXPECT_FALSE(row(msnno).value("finishedtime").toString().isEmpty()) << "the outcome is recorded before the end";
    QJsonArray events;
    ASSERT_TRUE(engine->events().log().loadByApp(events, "zfsrep"));
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events.at(0).toObject().value("level").toString(), "Error");
}

// A transfer that goes on for hours keeps the scheduler's heartbeat in the
// metrics current (its steps keep looking at the cancel token); once nothing
// runs, the heartbeat is the last pass again.
TEST_F(Scheduler, HeartbeatAdvancesWhileARunGoesAndFallsBackToTheLastPass)
{
    runner->respondOnce(kSsh + "/usr/sbin/zfs get -H -p -o name,value -r -t filesystem,volume receive_resume_token "
                               "backup/data", 1, "", "cannot open 'backup/data': dataset does not exist\n");
    runner->respond("zfs send -nvP", 0, "size\t8000\n");
    FakeStage hanging;
    hanging.hangs = true;
    hanging.chunks = {"1.0 1000\r\n"};
    runner->queueStage(hanging);
    append("long", 1);
    ASSERT_TRUE(engine->start(journals));
    setClock(QTime(10, 16, 0));
    const qint64 passed = QDateTime(QDate(2024, 3, 4), QTime(10, 16, 0)).toSecsSinceEpoch();
    ASSERT_TRUE(eventually([&] { return engine->scheduler().progress().value("rate").toInt() == 12; }));
    EXPECT_EQ(engine->scheduler().lastPass(), passed);

    auto metricsLine = [&] {
        QString text;
        EXPECT_TRUE(engine->metricsText(journals, text));
        for (const QString &line : text.split('\n'))
            if (line.startsWith("zfsrep_scheduler_last_pass_timestamp_seconds "))
                return line;
        return QString();
    };
    // Four hours on, the same pass still runs its transfer.
    setClock(QTime(14, 16, 30));
    const qint64 later = QDateTime(QDate(2024, 3, 4), QTime(14, 16, 30)).toSecsSinceEpoch();
    EXPECT_EQ(engine->scheduler().lastPass(), passed);
    EXPECT_EQ(engine->scheduler().heartbeat(), later);
    EXPECT_EQ(metricsLine(), QString("zfsrep_scheduler_last_pass_timestamp_seconds %1").arg(later));

    // A run whose steps stopped looking (a hung scheduler) shows no life.
    engine->scheduler().setAliveWindow(0);
    EXPECT_TRUE(eventually([&] { return engine->scheduler().heartbeat() == passed; }));
    engine->scheduler().setAliveWindow(60000);

    ASSERT_TRUE(engine->scheduler().shutdown(10000));
    EXPECT_EQ(engine->scheduler().heartbeat(), passed) << "nothing runs: the last pass";
}

} // namespace
