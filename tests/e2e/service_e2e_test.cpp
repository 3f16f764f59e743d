// The real zfsrep binary on the simulated appliance: start-up and exit codes,
// signals, every RPC method through zfsrepctl, missions run by the
// scheduler, and the graceful stop during a transfer.
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>

namespace {

QJsonObject config(bool debugging = false)
{
    return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", debugging ? "yes" : "no"},
                       {"appname", " zfsrep "}};
}

QJsonObject sendMission(const QString &caption, const QJsonArray &schedules = QJsonArray())
{
    return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                       {"passwd", tb::password()}, {"snapname", "e2e"}, {"schedules", schedules}};
}

class ServiceTest : public ::testing::Test
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
        tb::localZfs({"destroy", "-r", "tank/restored"});
    }

    QJsonObject missionRow(int msnno)
    {
        const Service::Call call = service.ctl("zfsrep_mission_alload");
        for (const QJsonValue &v : call.response.value("results").toObject().value("records").toArray()) {
            if (v.toObject().value("msnno").toInt() == msnno)
                return v.toObject();
        }
        return QJsonObject();
    }

    // Waits (through minute changes of the real clock) until the mission has
    // run: its finished time is set.
    bool waitForRun(int msnno, int timeoutMs = 150000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (!missionRow(msnno).value("finishedtime").toString().isEmpty())
                return true;
            QThread::msleep(500);
        }
        return false;
    }

    int lastMissionNumber()
    {
        const QJsonArray records =
            service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
        return records.isEmpty() ? 0 : records.last().toObject().value("msnno").toInt();
    }

    Service service;
};

TEST_F(ServiceTest, HelpAndStartupFailuresExitWith255)
{
    service.startWithArgs({"--help"});
    EXPECT_EQ(service.waitForExit(), 0);
    const QString help = QString::fromUtf8(service.output());
    EXPECT_TRUE(help.contains("--cfg <filepath>"));
    EXPECT_TRUE(help.contains("Read the configuration from <filepath>"));
    EXPECT_TRUE(help.contains("--upload"));
    EXPECT_TRUE(help.contains("--restore"));

    // A missing configuration file: one line naming it, before anything opens.
    Service noFile;
    noFile.startWithArgs({"--cfg", "/nonexistent/config.json", "--upload", "--restore"});
    EXPECT_EQ(noFile.waitForExit(), 255);
    EXPECT_TRUE(noFile.output().contains("zfsrep: configuration file /nonexistent/config.json does not exist\n"))
        << noFile.output().toStdString();

    // Not JSON: the parser's reason and where.
    const QString broken = tb::scratchDir("startup") + "/broken.json";
    QFile brokenFile(broken);
    ASSERT_TRUE(brokenFile.open(QIODevice::WriteOnly));
    brokenFile.write("{\"lpcid\": ");
    brokenFile.close();
    Service notJson;
    notJson.startWithArgs({"--cfg", broken});
    EXPECT_EQ(notJson.waitForExit(), 255);
    EXPECT_TRUE(notJson.output().contains(("configuration file " + broken + " is not valid JSON").toUtf8()))
        << notJson.output().toStdString();

    // No "lpcid": the engine starts, then start-up fails naming the key.
    Service noName;
    noName.start(QJsonObject{{"debugging", "no"}});
    EXPECT_EQ(noName.waitForExit(), 255);
    EXPECT_TRUE(QFile::exists("/tarn/etc/zfs/zfsrep.db")) << "the database was opened before the failure";
    EXPECT_TRUE(noName.output().contains("has no \"lpcid\"")) << noName.output().toStdString();

    // A malformed notice or hook entry or run limit: one line naming the key
    // and the fault.
    const struct {
        const char *key;
        QJsonValue value;
        const char *line;
    } malformed[] = {
        {"notify", QJsonObject{{"command", QJsonArray{"mail", "root"}}}, ": notify.command[0]: not an absolute program path\n"},
        {"notify", QJsonObject{{"url", "ftp://alerts.example/"}}, ": notify.url: not an http or https URL\n"},
        {"hooks", QJsonObject{{"db", QJsonObject{{"pre", "/bin/sync"}}}}, ": hooks.db.pre: not a list of strings\n"},
        {"maxparallel", 0, ": maxparallel: not a whole number from 1 to 64\n"},
        {"maxperhost", "many", ": maxperhost: not a whole number from 1 to 64\n"},
    };
    for (const auto &c : malformed) {
        QJsonObject settings = config();
        settings.insert(c.key, c.value);
        Service badEntry;
        badEntry.start(settings);
        EXPECT_EQ(badEntry.waitForExit(), 255);
        EXPECT_TRUE(badEntry.output().contains(c.line)) << badEntry.output().toStdString();
        EXPECT_EQ(badEntry.output().count('\n'), 1) << badEntry.output().toStdString();
    }

    // A database that cannot be opened: fails before the server listens.
    Service::resetState();
    QDir().mkpath("/tarn/etc");
    QFile blocker("/tarn/etc/zfs");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Service noDatabase;
    noDatabase.start(config());
    EXPECT_EQ(noDatabase.waitForExit(), 255);
    EXPECT_FALSE(QFile::exists(noDatabase.socket()));
    EXPECT_TRUE(noDatabase.output().contains("zfsrep: cannot open database /tarn/etc/zfs/zfsrep.db"))
        << noDatabase.output().toStdString();
    QFile::remove("/tarn/etc/zfs");
}

TEST_F(ServiceTest, WithoutCfgTheApplianceConfigurationIsRead)
{
    QDir().mkpath("/tarn/etc/vaultclient");
    QFile file("/tarn/etc/vaultclient/config.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config()).toJson());
    file.close();
    for (const QStringList &args : {QStringList(), QStringList{"--cfg", ""}, QStringList{"--cfg="}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        Service defaults;
        defaults.startWithArgs(args);
        ASSERT_TRUE(defaults.waitUntilServing()) << defaults.output().toStdString();
        EXPECT_EQ(defaults.stop(SIGTERM), 0);
    }
    QFile::remove("/tarn/etc/vaultclient/config.json");
}

TEST_F(ServiceTest, HangupAndPipeAreIgnoredTermAndIntQuit)
{
    for (int quit : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(quit);
        Service running;
        running.start(config());
        ASSERT_TRUE(running.waitUntilServing());
        running.signal(SIGHUP);
        running.signal(SIGPIPE);
        QThread::msleep(300);
        ASSERT_TRUE(running.isRunning());
        EXPECT_EQ(running.ctl("help_interfaces").exitCode, 0);
        EXPECT_EQ(running.stop(quit), 0);
        EXPECT_TRUE(running.output().contains("Wait for quit ...\n"));
    }
}

TEST_F(ServiceTest, ATypoAndAWrongTypeEachWarnOnceAndTheServiceStarts)
{
    QJsonObject typos = config();
    typos.insert("stalltimout", 30);
    typos.insert("compresslevel", 42);
    service.start(typos);
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    const QString output = QString::fromUtf8(service.output());
    EXPECT_EQ(output.count("stalltimout: unknown key, ignored (did you mean stalltimeout?)\n"), 1)
        << output.toStdString();
    EXPECT_EQ(output.count("compresslevel: 42 is out of its range 1..9; the default 6 is kept\n"), 1)
        << output.toStdString();
    EXPECT_EQ(output.count("zfsrep: warning: configuration "), 2) << output.toStdString();
}

TEST_F(ServiceTest, DebuggingPrintsTheAgentAndVerboseResponses)
{
    service.start(config(true));
    ASSERT_TRUE(service.waitUntilServing());
    QElapsedTimer timer;
    timer.start();
    while (!service.output().contains("Local agent: ") && timer.elapsed() < 5000)
        QThread::msleep(50);
    EXPECT_TRUE(service.output().contains("Local agent: /tarn/run/zfsrep-e2e.sock\n"));
    const Service::Call call = service.ctl("zfsrep_alload");
    EXPECT_EQ(call.exitCode, 0);
    EXPECT_TRUE(call.response.contains("elapsed"));
    EXPECT_TRUE(call.response.value("results").toObject().contains("tank"));
}

TEST_F(ServiceTest, EveryMethodThroughZfsrepctl)
{
    service.start(config());
    ASSERT_TRUE(service.waitUntilServing());
    const QJsonObject remote{{"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                             {"passwd", tb::password()}};
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/data@seen"}).ok());

    const QJsonObject help = service.ctl("help_interfaces").response.value("results").toObject();
    EXPECT_EQ(help.size(), 18); // with zfsrep_mission_check
    EXPECT_TRUE(service.ctl("zfsrep_alload").response.value("results").toObject().contains("tank"));
    EXPECT_EQ(service.ctl("zfsrep_snapshot").response.value("results").toObject().value("snapshots").toArray().size(), 1);
    EXPECT_TRUE(service.ctl("zfsrep_pools_remote", remote).response.value("results").toObject().contains("backup"));
    EXPECT_TRUE(service.ctl("zfsrep_snapshot_remote", remote).response.value("results").toObject().contains("backup"));
    // The queries recorded the host's key.
    EXPECT_EQ(service.ctl("zfsrep_hostkey_forget", QJsonObject{{"host", tb::host()}, {"port", tb::port()}})
                  .response.value("results").toObject(),
              (QJsonObject{{"found", true}}));

    const Service::Call missing = service.ctl("zfsrep_pools_remote", QJsonObject{{"host", "h"}});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.response.value("err").toInt(), 9995);

    const QJsonArray later = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    EXPECT_EQ(service.ctl("zfsrep_mission_append", sendMission("Yearly", later)).exitCode, 0);
    EXPECT_EQ(service.ctl("zfsrep_mission_exists", QJsonObject{{"caption", "YEARLY"}})
                  .response.value("results").toObject().value("exists").toInt(), 1);
    const int msnno = lastMissionNumber();
    QJsonObject change = sendMission("Yearly", later);
    change.insert("msnno", msnno);
    change.insert("path", "backup/elsewhere");
    EXPECT_EQ(service.ctl("zfsrep_mission_change", change).exitCode, 0);
    EXPECT_EQ(missionRow(msnno).value("path").toString(), "backup/elsewhere");
    EXPECT_EQ(service.ctl("zfsrep_mission_remove", QJsonObject{{"msnno", msnno}}).exitCode, 0);
    EXPECT_EQ(service.ctl("zfsrep_mission_remove", QJsonObject{{"msnno", msnno}}).response.value("err").toInt(), 9994);
    EXPECT_EQ(service.ctl("zfsrep_log_alload").exitCode, 0);
    EXPECT_EQ(service.ctl("zfsrep_log_clear").exitCode, 0);
    EXPECT_EQ(service.ctl("zfsrep_no_such_method").response.value("err").toInt(), 9885);
    EXPECT_EQ(service.stop(SIGTERM), 0);
}

TEST_F(ServiceTest, SchedulerRunsASendAndThenAReceive)
{
    service.start(config());
    ASSERT_TRUE(service.waitUntilServing());
    ASSERT_EQ(service.ctl("zfsrep_mission_append", sendMission("Send now")).exitCode, 0);
    const int send = lastMissionNumber();
    ASSERT_TRUE(waitForRun(send)) << service.output().toStdString();
    EXPECT_EQ(missionRow(send).value("done").toInt(), 1);
    const QStringList remote = tb::remoteSnapshots("backup/data");
    ASSERT_EQ(remote.size(), 1);
    EXPECT_EQ(tb::treeDigest(tb::remotePath("backup/data")), tb::treeDigest(tb::localPath("tank/data")));

    QJsonObject receive = sendMission("Receive now");
    receive.insert("action", 2);
    receive.insert("name", "restored");
    receive.insert("path", "backup/data");
    ASSERT_EQ(service.ctl("zfsrep_mission_append", receive).exitCode, 0);
    const int pull = lastMissionNumber();
    ASSERT_TRUE(waitForRun(pull)) << service.output().toStdString();
    EXPECT_EQ(missionRow(pull).value("done").toInt(), 1);
    EXPECT_EQ(tb::treeDigest(tb::localPath("tank/restored")), tb::treeDigest(tb::remotePath("backup/data")));
    const QJsonArray log =
        service.ctl("zfsrep_log_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log.at(0).toObject().value("caption").toString(), "Receive now");
    EXPECT_EQ(log.at(1).toObject().value("level").toString(), "Information");
}

TEST_F(ServiceTest, GracefulStopRecordsTheCancelledTransfer)
{
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 64 << 20, 7);
    tb::setLocalFault("send-rate", "2M");
    service.start(config());
    ASSERT_TRUE(service.waitUntilServing());
    ASSERT_EQ(service.ctl("zfsrep_mission_append", sendMission("Slow")).exitCode, 0);
    const int msnno = lastMissionNumber();
    QElapsedTimer timer;
    timer.start();
    while (!missionRow(msnno).contains("rate") && timer.elapsed() < 150000)
        QThread::msleep(500);
    ASSERT_TRUE(missionRow(msnno).contains("rate")) << "the transfer never showed progress";

    QElapsedTimer stopping;
    stopping.start();
    EXPECT_EQ(service.stop(SIGTERM, 20000), 0);
    EXPECT_LT(stopping.elapsed(), 12000);

    Service restarted;
    restarted.start(config());
    ASSERT_TRUE(restarted.waitUntilServing());
    const QJsonArray records =
        restarted.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_EQ(records.size(), 1);
    EXPECT_FALSE(records.at(0).toObject().value("finishedtime").toString().isEmpty());
    const QJsonArray log =
        restarted.ctl("zfsrep_log_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log.at(0).toObject().value("level").toString(), "Error");
    EXPECT_EQ(log.at(0).toObject().value("result").toInt(), 0);
    QFile::remove(tb::localPath("tank/data") + "/big.bin");
}

} // namespace
