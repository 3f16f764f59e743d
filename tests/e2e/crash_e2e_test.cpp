// The real service killed with SIGKILL in the middle of transfers, on the
// testbed: nothing of the killed service's stages may run on, a restart at
// once records the cut run as interrupted, and the rerun succeeds without
// leftovers (no partial export, the replica complete).
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <functional>

namespace {

QJsonObject config() { return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", "no"}}; }

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

// Processes of transfer stages: everything a stage runs is under `script`
// or is one of the pipeline's tools with the service's own arguments.
QString stageProcesses()
{
    return QString::fromUtf8(
               tb::bash("ps -eo pid,args | grep -E 'script -q -e -c|pv -f -n|pv -r -p|zfs send|zfs recv|pigz|gzip' "
                        "| grep -v -E 'grep|ps -eo' || true")
                   .out)
        .trimmed();
}

class CrashE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        tb::clearFaults();
        Service::resetState();
        for (const QString &name : tb::localSnapshots("tank/data"))
            tb::localZfs({"destroy", name});
        tb::remoteZfs({"destroy", "-r", "backup/data"});
        exportDir = tb::scratchDir("crash-exports");
        tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 24 << 20, 5);
        service.start(config());
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    }

    void TearDown() override
    {
        if (service.isRunning())
            service.stop(SIGTERM, 20000);
        QFile::remove(tb::localPath("tank/data") + "/big.bin");
        tb::clearFaults();
    }

    int append(const QJsonObject &mission)
    {
        const Service::Call call = service.ctl("zfsrep_mission_append", mission);
        EXPECT_EQ(call.exitCode, 0) << QJsonDocument(call.response).toJson().toStdString();
        const QJsonArray records =
            service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
        return records.isEmpty() ? 0 : records.last().toObject().value("msnno").toInt();
    }

    QJsonArray history(int msnno)
    {
        return service.ctl("zfsrep_mission_history", QJsonObject{{"msnno", msnno}}).response.value("results").toArray();
    }

    QString newestOutcome(int msnno)
    {
        const QJsonArray runs = history(msnno);
        return runs.isEmpty() ? QString() : runs.at(0).toObject().value("outcome").toString();
    }

    bool running(int msnno)
    {
        for (const QJsonValue &value :
             service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray()) {
            const QJsonObject row = value.toObject();
            if (row.value("msnno").toInt() == msnno)
                return row.value("state").toString() == "running" && row.contains("rate");
        }
        return false;
    }

    // Runs the mission throttled, kills the service at a random moment of
    // the transfer, checks that the stages died with it, restarts, and
    // lets the rerun finish unthrottled.
    void killDuringTransferThenRerun(int msnno)
    {
        // At 2 MB/s every transfer here lasts well beyond the moment of the kill.
        tb::setLocalFault("send-rate", "2M");
        // The previous run's record may end a moment before its mission is
        // free again: ask until the run is accepted.
        ASSERT_TRUE(waitFor([&] { return service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}}).exitCode == 0; },
                            10000));
        ASSERT_TRUE(waitFor([&] { return running(msnno); }, 20000)) << service.output().toStdString();
        QThread::msleep(200 + QRandomGenerator::global()->bounded(2500));
        ASSERT_TRUE(running(msnno)) << "the kill must land during the transfer";
        service.signal(SIGKILL);
        ASSERT_GE(service.waitForExit(10000), -1);
        QElapsedTimer gone;
        gone.start();
        EXPECT_TRUE(waitFor([] { return stageProcesses().isEmpty(); }, 5000))
            << "still running after the service died:\n" << stageProcesses().toStdString();
        EXPECT_LT(gone.elapsed(), 2500) << "the stages end with the service";
        tb::clearFaults();

        service.start(config());
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
        EXPECT_EQ(newestOutcome(msnno), "interrupted");
        ASSERT_TRUE(waitFor([&] { return service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}}).exitCode == 0; },
                            10000));
        ASSERT_TRUE(waitFor([&] {
            const QString outcome = newestOutcome(msnno);
            return !outcome.isEmpty() && outcome != "running" && outcome != "interrupted";
        }, 120000));
        EXPECT_EQ(newestOutcome(msnno), "succeeded") << QJsonDocument(history(msnno)).toJson().toStdString();
    }

    QString exportDir;
    Service service;
};

TEST_F(CrashE2e, KilledSendsLeaveNothingRunningAndResumeAfterRestart)
{
    const QJsonArray yearly = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    const int msnno = append(QJsonObject{{"caption", "Crashing send"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                                         {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()},
                                         {"userid", tb::user()}, {"passwd", tb::password()}, {"snapname", "crash"},
                                         {"schedules", yearly}});
    ASSERT_GT(msnno, 0);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        tb::writeRandomFile(tb::localPath("tank/data") + QString("/round%1.bin").arg(round), 16 << 20, 20 + round);
        killDuringTransferThenRerun(msnno);
        EXPECT_EQ(tb::treeDigest(tb::remotePath("backup/data")), tb::treeDigest(tb::localPath("tank/data")));
    }
}

TEST_F(CrashE2e, KilledExportsLeaveNoPartialFile)
{
    const QJsonArray yearly = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    const int msnno = append(QJsonObject{{"caption", "Crashing export"}, {"action", 3}, {"pool", "tank"},
                                         {"name", "data"}, {"path", exportDir}, {"snapname", "crash"},
                                         {"schedules", yearly}});
    ASSERT_GT(msnno, 0);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        killDuringTransferThenRerun(msnno);
        const QStringList partial =
            QDir(exportDir + "/tank").entryList(QStringList{"*.part"}, QDir::Files | QDir::Hidden);
        EXPECT_TRUE(partial.isEmpty()) << partial.join(' ').toStdString();
    }
    EXPECT_GE(QDir(exportDir + "/tank").entryList(QStringList{"*.gz.zsa"}, QDir::Files).size(), 3);
}

} // namespace
