// The real service on the simulated appliance, driven through its socket with
// zfsrepctl: a failing mission's reason in the listing, the history and the
// event record; run now; cancel of a throttled transfer; the metrics file
// (also as Prometheus's promtool reads it).
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <functional>

namespace {

const QString kMetricsFile = QStringLiteral("/tarn/run/zfsrep-e2e.prom");

QJsonObject config()
{
    return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", "no"}, {"metricsfile", kMetricsFile}};
}

// A send that is due only on New Year's midnight: it runs when asked to.
QJsonObject sendMission(const QString &caption, const QString &pool = QStringLiteral("tank"))
{
    const QJsonArray yearly = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", pool}, {"name", "data"},
                       {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                       {"passwd", tb::password()}, {"snapname", "e2e"}, {"schedules", yearly}};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Polls `condition` every 100 ms for up to `timeoutMs`.
bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(100);
    }
    return condition();
}

class ControlE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        tb::clearFaults();
        Service::resetState();
        QFile::remove(kMetricsFile);
        for (const QString &name : tb::localSnapshots("tank/data"))
            tb::localZfs({"destroy", name});
        tb::remoteZfs({"destroy", "-r", "backup/data"});
        service.start(config());
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    }

    void TearDown() override
    {
        if (service.isRunning()) {
            EXPECT_EQ(service.stop(SIGTERM, 20000), 0);
        }
        QFile::remove(tb::localPath("tank/data") + "/big.bin");
        tb::clearFaults();
    }

    int append(const QJsonObject &mission)
    {
        const Service::Call call = service.ctl("zfsrep_mission_append", mission);
        EXPECT_EQ(call.exitCode, 0) << QJsonDocument(call.response).toJson().toStdString();
        const QJsonArray records = listing();
        return records.isEmpty() ? 0 : records.last().toObject().value("msnno").toInt();
    }

    QJsonArray listing()
    {
        return service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
    }

    QJsonObject row(int msnno)
    {
        for (const QJsonValue &value : listing()) {
            if (value.toObject().value("msnno").toInt() == msnno)
                return value.toObject();
        }
        return QJsonObject();
    }

    QJsonArray history(int msnno)
    {
        return service.ctl("zfsrep_mission_history", QJsonObject{{"msnno", msnno}}).response.value("results").toArray();
    }

    // The newest run once it has ended; empty while none has.
    QJsonObject endedRun(int msnno)
    {
        const QJsonArray runs = history(msnno);
        if (runs.isEmpty() || runs.at(0).toObject().value("outcome").toString() == "running")
            return QJsonObject();
        return runs.at(0).toObject();
    }

    Service service;
};

TEST_F(ControlE2e, FailingMissionShowsTheToolsMessageInListingHistoryAndEvent)
{
    ASSERT_TRUE(waitFor([] { return !readFile(kMetricsFile).isEmpty(); }, 10000)) << "metrics written at start";
    const QByteArray metricsBefore = readFile(kMetricsFile);

    const int msnno = append(sendMission("Broken", "nopool"));
    ASSERT_GT(msnno, 0);
    EXPECT_EQ(row(msnno).value("state").toString(), "armed");
    const Service::Call run = service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}});
    ASSERT_EQ(run.exitCode, 0) << QJsonDocument(run.response).toJson().toStdString();
    ASSERT_TRUE(waitFor([&] { return !endedRun(msnno).isEmpty(); }, 30000)) << service.output().toStdString();

    const QJsonObject last = endedRun(msnno);
    EXPECT_EQ(last.value("outcome").toString(), "failed");
    const QString error = last.value("error").toString();
    EXPECT_TRUE(error.contains("nopool")) << error.toStdString();
    EXPECT_GT(last.value("ended").toDouble(), 0);

    ASSERT_TRUE(waitFor([&] { return row(msnno).value("state").toString() == "failed"; }, 10000));
    const QJsonObject listed = row(msnno);
    EXPECT_EQ(listed.value("lastresult").toString(), "failed");
    EXPECT_EQ(listed.value("lasterror").toString(), error);
    EXPECT_EQ(listed.value("lastrun").toDouble(), last.value("started").toDouble());

    const QJsonArray events =
        service.ctl("zfsrep_log_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events.at(0).toObject().value("result").toInt(), 0);
    EXPECT_EQ(events.at(0).toObject().value("error").toString(), error);

    // The metrics file was rewritten after the run and names its outcome.
    const QString failedLine =
        QStringLiteral("zfsrep_mission_last_run_outcome{msnno=\"%1\",caption=\"Broken\",outcome=\"failed\"} 1")
            .arg(msnno);
    ASSERT_TRUE(waitFor([&] { return QString::fromUtf8(readFile(kMetricsFile)).contains(failedLine); }, 10000));
    EXPECT_NE(readFile(kMetricsFile), metricsBefore);
    const QString text = service.ctl("zfsrep_metrics").response.value("results").toObject().value("text").toString();
    EXPECT_TRUE(text.contains(failedLine));
}

// The file the service wrote after a failed and a succeeded run is valid
// for Prometheus's own checker (format and naming lints).
TEST_F(ControlE2e, MetricsFileAfterRunsPassesPromtoolCheck)
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        GTEST_SKIP() << "SKIPPED: promtool not found (Debian package prometheus, scripts/install-deps.sh)";
    const int broken = append(sendMission("Broken \"db\"", "nopool"));
    const int good = append(sendMission("Good"));
    ASSERT_GT(good, broken);
    ASSERT_EQ(service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", broken}}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return !endedRun(broken).isEmpty(); }, 30000)) << service.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", good}}).exitCode == 0; },
                        10000));
    ASSERT_TRUE(waitFor([&] { return !endedRun(good).isEmpty(); }, 60000)) << service.output().toStdString();
    ASSERT_EQ(endedRun(good).value("outcome").toString(), "succeeded");
    const QString goodLine =
        QStringLiteral("zfsrep_mission_last_run_outcome{msnno=\"%1\",caption=\"Good\",outcome=\"succeeded\"} 1").arg(good);
    ASSERT_TRUE(waitFor([&] { return QString::fromUtf8(readFile(kMetricsFile)).contains(goodLine); }, 10000));

    const QByteArray text = readFile(kMetricsFile);
    EXPECT_TRUE(text.contains("outcome=\"failed\"} 1")) << text.toStdString();
    QProcess check;
    check.start(promtool, {"check", "metrics"});
    ASSERT_TRUE(check.waitForStarted(10000));
    check.write(text);
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString()
                                   << check.readAllStandardError().toStdString() << "\n" << text.toStdString();
}

// zfsrepctl status against the real service: OK while nothing failed,
// CRITICAL once a mission's run failed, UNKNOWN when the service is gone.
TEST_F(ControlE2e, StatusCheckExitsByTheMonitoringConvention)
{
    EXPECT_EQ(service.ctl("status").exitCode, 0);
    const int broken = append(sendMission("Broken", "nopool"));
    ASSERT_EQ(service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", broken}}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return !endedRun(broken).isEmpty(); }, 30000)) << service.output().toStdString();
    EXPECT_EQ(service.ctl("status").exitCode, 2);
    ASSERT_EQ(service.stop(SIGTERM, 20000), 0);
    EXPECT_EQ(service.ctl("status").exitCode, 3);
}

TEST_F(ControlE2e, RunStartsAtOnceAndCancelEndsAThrottledTransfer)
{
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 64 << 20, 11);
    tb::setLocalFault("send-rate", "2M"); // about half a minute for the whole stream
    const int msnno = append(sendMission("Slow"));
    const int other = append(sendMission("Other"));
    ASSERT_GT(other, msnno);

    const Service::Call run = service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}});
    ASSERT_EQ(run.exitCode, 0) << QJsonDocument(run.response).toJson().toStdString();
    QElapsedTimer starting;
    starting.start();
    // Within 2 s by the service's own clock; the bound here leaves room for
    // a loaded machine, and is far below the minute a scheduled start waits.
    ASSERT_TRUE(waitFor([&] { return row(msnno).value("state").toString() == "running"; }, 10000));
    EXPECT_LT(starting.elapsed(), 5000);

    const Service::Call again = service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", other}});
    EXPECT_EQ(again.response.value("err").toInt(), 9992);
    EXPECT_TRUE(again.response.value("errmsg").toString().contains(QString::number(msnno)))
        << again.response.value("errmsg").toString().toStdString();
    ASSERT_TRUE(waitFor([&] { return row(msnno).contains("rate"); }, 20000)) << "the transfer shows progress";

    const Service::Call cancel = service.ctl("zfsrep_mission_cancel", QJsonObject{{"msnno", msnno}});
    ASSERT_EQ(cancel.exitCode, 0) << QJsonDocument(cancel.response).toJson().toStdString();
    QElapsedTimer cancelling;
    cancelling.start();
    ASSERT_TRUE(waitFor([&] { return !endedRun(msnno).isEmpty(); }, 20000));
    EXPECT_LT(cancelling.elapsed(), 5000) << "the transfer ends within 2 s (with room for a loaded machine)";
    EXPECT_EQ(endedRun(msnno).value("outcome").toString(), "cancelled");
    EXPECT_NE(row(msnno).value("state").toString(), "running");

    // The scheduler goes on: the other mission runs when asked.
    QFile::remove(tb::localPath("tank/data") + "/big.bin");
    tb::clearFaults();
    ASSERT_TRUE(waitFor([&] { return service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", other}}).exitCode == 0; },
                        10000));
    ASSERT_TRUE(waitFor([&] { return !endedRun(other).isEmpty(); }, 60000)) << service.output().toStdString();
    EXPECT_EQ(endedRun(other).value("outcome").toString(), "succeeded");
    EXPECT_EQ(row(other).value("lastresult").toString(), "succeeded");
    EXPECT_EQ(tb::treeDigest(tb::remotePath("backup/data")), tb::treeDigest(tb::localPath("tank/data")));
}

TEST_F(ControlE2e, StopDuringATransferRecordsItsOutcomeAndEventBeforeExiting)
{
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 64 << 20, 12);
    tb::setLocalFault("send-rate", "2M");
    const int msnno = append(sendMission("Stopped"));
    ASSERT_EQ(service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return row(msnno).contains("rate"); }, 20000)) << "the transfer streams";

    QElapsedTimer stopping;
    stopping.start();
    ASSERT_EQ(service.stop(SIGTERM, 20000), 0) << service.output().toStdString();
    EXPECT_LT(stopping.elapsed(), 10000) << "the stage is ended, then recorded";

    // The next start finds the run recorded by the one that stopped, not
    // marked interrupted after the fact, and its event written.
    tb::clearFaults();
    service.start(config());
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    const QJsonObject last = endedRun(msnno);
    EXPECT_EQ(last.value("outcome").toString(), "interrupted");
    EXPECT_GT(last.value("ended").toVariant().toLongLong(), 0);
    EXPECT_FALSE(last.value("error").toString().isEmpty()) << "the stop's own message, not a restart's guess";
    const QJsonArray events =
        service.ctl("zfsrep_log_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.at(0).toObject().value("caption").toString(), "Stopped");
    EXPECT_EQ(events.at(0).toObject().value("result").toInt(), 0);
}

TEST_F(ControlE2e, RemovingARunningMissionEndsItWithoutEraseOrRearm)
{
    // Two older snapshots of the series that an erase after a success
    // would destroy.
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/data@e2e_20200101000000"}).ok());
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/data@e2e_20200102000000"}).ok());
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 64 << 20, 13);
    tb::setLocalFault("send-rate", "2M");
    QJsonObject erasing = sendMission("Removed");
    erasing.insert("erase", 1);
    const int msnno = append(erasing);
    ASSERT_EQ(service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return row(msnno).contains("rate"); }, 20000)) << "the transfer streams";

    const Service::Call removed = service.ctl("zfsrep_mission_remove", QJsonObject{{"msnno", msnno}});
    ASSERT_EQ(removed.exitCode, 0) << QJsonDocument(removed.response).toJson().toStdString();
    // The run ends: the service takes another run at once.
    const int other = append(sendMission("Other"));
    tb::clearFaults();
    QFile::remove(tb::localPath("tank/data") + "/big.bin");
    ASSERT_TRUE(waitFor([&] { return service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", other}}).exitCode == 0; },
                        10000))
        << "the removed mission's run ended";
    const QStringList snapshots = tb::localSnapshots("tank/data");
    EXPECT_TRUE(snapshots.contains("tank/data@e2e_20200101000000")) << "no erase after a removal";
    EXPECT_TRUE(snapshots.contains("tank/data@e2e_20200102000000")) << "no erase after a removal";
    EXPECT_TRUE(row(msnno).isEmpty()) << "the removed mission is not stored again";
    QJsonArray rows = listing();
    for (const QJsonValue &value : rows)
        EXPECT_NE(value.toObject().value("msnno").toInt(), msnno);
}

} // namespace
