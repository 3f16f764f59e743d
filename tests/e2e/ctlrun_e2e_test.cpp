// zfsrepctl's everyday verbs against the real service on the simulated
// appliance: run --wait for a run that succeeds, fails and is cancelled from
// another terminal; watch --until-finished around a run; add answering its
// number, list, remove and history of a missing mission; the schedule text
// that reads "hours=2" as 02:00 and a date that never comes refused by the
// client and by the service; a mirror checked, run, listed and removed
// through the service.
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include <functional>

namespace {

QJsonObject config()
{
    return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", "no"}};
}

QString ctlPath()
{
    return tb::env("ZFSREP_BINARY_DIR") + QStringLiteral("/zfsrepctl/zfsrepctl");
}

// A send that is due only on New Year's midnight: it runs when asked to.
QJsonObject sendMission(const QString &caption, const QString &pool = QStringLiteral("tank"))
{
    const QJsonArray yearly = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", pool}, {"name", "data"},
                       {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                       {"passwd", tb::password()}, {"snapname", "e2e"}, {"schedules", yearly}};
}

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

class CtlRunE2e : public ::testing::Test
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
        // What a mirror scenario that stopped half-way leaves.
        for (const QString &snapshot : tb::remoteSnapshots("backup/prod"))
            tb::remoteZfs({"release", "-r", mirrorTag, snapshot});
        tb::remoteZfs({"destroy", "-r", "backup/prod"});
        tb::localZfs({"destroy", "-r", "tank/mirrored"});
    }

    tb::Run ctl(const QStringList &args, int timeoutMs = 120000)
    {
        return tb::run(ctlPath(), QStringList{"--socket", service.socket()} + args, {}, timeoutMs);
    }
    // The number the append answers.
    int append(const QJsonObject &mission)
    {
        const Service::Call call = service.ctl("zfsrep_mission_append", mission);
        EXPECT_EQ(call.exitCode, 0) << QJsonDocument(call.response).toJson().toStdString();
        return call.response.value("results").toObject().value("msnno").toInt();
    }
    QJsonObject row(int msnno)
    {
        const QJsonArray records =
            service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
        for (const QJsonValue &value : records) {
            if (value.toObject().value("msnno").toInt() == msnno)
                return value.toObject();
        }
        return QJsonObject();
    }

    Service service;
    QString mirrorTag = QStringLiteral("zfsrep-0");
};

TEST_F(CtlRunE2e, RunWaitExitsWithTheOutcomeOfThatRun)
{
    const int good = append(sendMission("Good"));
    const int broken = append(sendMission("Broken", "nopool"));
    ASSERT_GT(good, 0);
    ASSERT_EQ(broken, good + 1) << "each append answers its own number";

    tb::Run run = ctl({"run", QString::number(good), "--wait"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.startsWith(QStringLiteral("mission %1 run ").arg(good).toUtf8())) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(" succeeded after ")) << run.out.toStdString();
    EXPECT_EQ(run.out.count('\n'), 1) << "only the outcome line into a pipe";
    EXPECT_EQ(tb::treeDigest(tb::remotePath("backup/data")), tb::treeDigest(tb::localPath("tank/data")));

    run = ctl({"run", QString::number(broken), "--wait"});
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains(" failed after ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("nopool")) << "the stored reason names the dataset: " << run.out.toStdString();

    // A run that is refused never waits.
    run = ctl({"run", "999", "--wait"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: run mission 999: mission 999 does not exist (err 9994)\n");
}

TEST_F(CtlRunE2e, RunWaitOfARunCancelledFromAnotherTerminalIsThree)
{
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 64 << 20, 21);
    tb::setLocalFault("send-rate", "2M"); // about half a minute for the whole stream
    const int msnno = append(sendMission("Slow"));
    ASSERT_GT(msnno, 0);
    QProcess waiting;
    waiting.start(ctlPath(), {"--socket", service.socket(), "run", QString::number(msnno), "--wait"});
    ASSERT_TRUE(waiting.waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return row(msnno).contains("rate"); }, 30000)) << "the transfer shows progress";
    const tb::Run cancel = ctl({"cancel", QString::number(msnno)});
    ASSERT_EQ(cancel.exitCode, 0) << cancel.err.toStdString();
    ASSERT_TRUE(waiting.waitForFinished(30000));
    EXPECT_EQ(waiting.exitCode(), 3) << waiting.readAllStandardError().toStdString();
    EXPECT_TRUE(waiting.readAllStandardOutput().contains(" cancelled after "));
    // Cancelled, never "failed", in the history and the listing.
    EXPECT_EQ(row(msnno).value("lastresult").toString(), "cancelled");
    const tb::Run history = ctl({"history", QString::number(msnno)});
    EXPECT_TRUE(history.out.contains("  cancelled  ")) << history.out.toStdString();
    const tb::Run list = ctl({"list"});
    EXPECT_TRUE(list.out.contains("  cancelled  ")) << list.out.toStdString();
    EXPECT_FALSE(list.out.contains("failed")) << list.out.toStdString();
}

TEST_F(CtlRunE2e, CheckNamesWhatEachMissionLacksAndSendsNothing)
{
    QJsonObject wrongPassword = sendMission("WrongPassword");
    wrongPassword.insert("passwd", "Wrong-" + tb::password());
    QJsonObject noParent = sendMission("NoParent");
    noParent.insert("path", "backup/nowhere");
    QJsonObject unknown = sendMission("Unknown");
    unknown.insert("name", "nope");
    const int healthy = append(sendMission("Healthy"));
    const int wrong = append(wrongPassword);
    const int parent = append(noParent);
    const int missing = append(unknown);
    ASSERT_GT(healthy, 0);
    // A held snapshot an earlier scenario left may stay; the checks add none.
    const QStringList snapshotsBefore = tb::localSnapshots("tank/data");
    const QString named = QStringLiteral("on %1 as %2: ").arg(tb::host(), tb::user());

    tb::Run run = ctl({"check", QString::number(healthy)});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    for (const char *line : {"ok    local dataset  tank/data exists", "ok    login          logged in to ",
                             "ok    host key       the key of ", "ok    target         backup/data is new on ",
                             "ok    space          about "}) {
        EXPECT_TRUE(run.out.contains(line)) << line << "\nin:\n" << run.out.toStdString();
    }

    run = ctl({"check", QString::number(wrong)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(("FAIL  login          " + named).toUtf8())) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Permission denied")) << run.out.toStdString();

    run = ctl({"check", QString::number(parent)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(("FAIL  target         " + named
                                  + "cannot receive into backup/nowhere/data: the parent backup/nowhere does not exist")
                                     .toUtf8()))
        << run.out.toStdString();

    run = ctl({"check", QString::number(missing)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains("FAIL  local dataset  tank/nope does not exist on this host")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("ok    login")) << "the far side is still looked at: " << run.out.toStdString();

    // Nothing was snapshotted, sent or recorded as a run.
    EXPECT_EQ(tb::localSnapshots("tank/data"), snapshotsBefore);
    EXPECT_FALSE(tb::remoteExists("backup/data"));
    const tb::Run history = ctl({"history", QString::number(healthy)});
    EXPECT_TRUE(history.out.endsWith("no runs\n")) << history.out.toStdString();
}

TEST_F(CtlRunE2e, WatchUntilFinishedFollowsTheRunGoingOnOrAnswersTheLastOutcome)
{
    const int msnno = append(sendMission("Watched"));
    ASSERT_GT(msnno, 0);
    // Started a moment after run: it follows that run, not the next
    // scheduled one (New Year).
    ASSERT_EQ(ctl({"run", QString::number(msnno)}).exitCode, 0);
    QThread::msleep(200);
    tb::Run watch = ctl({"watch", "--until-finished", QString::number(msnno), "--interval", "1"}, 90000);
    EXPECT_EQ(watch.exitCode, 0) << watch.err.toStdString();
    EXPECT_EQ(row(msnno).value("lastresult").toString(), "succeeded");

    // Nothing going: the last outcome at once.
    QThread::msleep(2000);
    QElapsedTimer timer;
    timer.start();
    watch = ctl({"watch", "--until-finished", QString::number(msnno), "--interval", "30"});
    EXPECT_EQ(watch.exitCode, 0) << watch.err.toStdString();
    EXPECT_LT(timer.elapsed(), 20000) << "it did not wait for another listing";
}

TEST_F(CtlRunE2e, AddListRemoveAndHistoryOfAMissingMission)
{
    tb::Run run = ctl({"add", "--caption", "nightly export", "--export", "tank/data", "--dir", "/tarn/exports",
                       "--schedule", "hours=2"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_TRUE(run.out.startsWith("mission ")) << run.out.toStdString();
    const int msnno = run.out.mid(8).split(' ').first().toInt();
    ASSERT_GT(msnno, 0) << run.out.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("mission %1 added (nightly export)\n").arg(msnno).toUtf8());
    // "hours=2" is 02:00, not every minute of hour 2.
    EXPECT_EQ(row(msnno).value("schedules").toArray(),
              QJsonDocument::fromJson(R"([{"hours":[2],"minutes":[0]}])").array());
    EXPECT_TRUE(ctl({"show", QString::number(msnno)}).out.contains("schedule    hours=2 minutes=0"));

    run = ctl({"add", "--caption", "second", "--export", "tank/data", "--dir", "/tarn/exports", "--json"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(run.out).object().value("results").toObject().value("msnno").toInt(), msnno + 1);

    run = ctl({"list"});
    EXPECT_EQ(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << run.out.toStdString();
    EXPECT_TRUE(lines.at(1).startsWith(QStringLiteral("%1  ").arg(msnno))) << lines.at(1).toStdString();
    EXPECT_TRUE(lines.at(1).contains("  export  tank/data  /tarn/exports  ")) << lines.at(1).toStdString();

    run = ctl({"history", "999"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: history: mission 999 does not exist\n");
    EXPECT_EQ(ctl({"history", QString::number(msnno)}).exitCode, 0) << "listed without runs";

    run = ctl({"remove", QString::number(msnno), "--yes"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(row(msnno).isEmpty());
    run = ctl({"remove", QString::number(msnno), "--yes"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, QStringLiteral("zfsrepctl: remove mission %1: mission %1 does not exist (err 9994)\n")
                           .arg(msnno)
                           .toUtf8());
}

TEST_F(CtlRunE2e, AMirrorIsCheckedRunAndListedAndItsRemovalReleasesTheRemoteHold)
{
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/prod"}).ok());
    const QString file = tb::remotePath("backup/prod") + "/f.bin";
    tb::writeRandomFile(file, 200000, 31);
    ASSERT_TRUE(tb::run("chown", {tb::user() + ":", file}).ok());
    QJsonObject mirror = sendMission("Mirror");
    mirror.insert("action", 5);
    mirror.insert("name", "mirrored");
    mirror.insert("path", "backup/prod");
    const int msnno = append(mirror);
    ASSERT_GT(msnno, 0);
    mirrorTag = QStringLiteral("zfsrep-%1").arg(msnno);

    tb::Run run = ctl({"check", QString::number(msnno)});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    for (const char *part : {"backup/prod exists with 0 snapshots", "the pool tank exists",
                             "tank/mirrored is new; its parent tank exists"})
        EXPECT_TRUE(run.out.contains(part)) << part << "\nin:\n" << run.out.toStdString();

    run = ctl({"run", QString::number(msnno), "--wait"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(tb::treeDigest(tb::localPath("tank/mirrored")), tb::treeDigest(tb::remotePath("backup/prod")));
    const QStringList pulled = tb::remoteSnapshots("backup/prod");
    ASSERT_EQ(pulled.size(), 1);
    EXPECT_TRUE(tb::remoteZfs({"holds", "-H", pulled.first()}).out.contains(mirrorTag.toUtf8()));
    run = ctl({"list"});
    EXPECT_TRUE(run.out.contains(QStringLiteral("  mirror  %1@%2:%3/backup/prod  tank/mirrored  ")
                                     .arg(tb::user(), tb::host())
                                     .arg(tb::port())
                                     .toUtf8()))
        << run.out.toStdString();
    EXPECT_EQ(row(msnno).value("state").toString(), "armed") << "re-armed after its run, like a send";

    run = ctl({"remove", QString::number(msnno), "--yes"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(waitFor([&] { return !tb::remoteZfs({"holds", "-H", pulled.first()}).out.contains(mirrorTag.toUtf8()); },
                        15000))
        << "the removed mirror's hold on the remote host is released";
}

TEST_F(CtlRunE2e, ADateThatNeverComesIsRefusedByClientAndService)
{
    tb::Run run = ctl({"add", "--caption", "never", "--export", "tank/data", "--dir", "/tarn/exports", "--schedule",
                       "dates=31 months=feb"});
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_TRUE(run.err.contains("dates: 31 never falls in feb")) << run.err.toStdString();

    QJsonObject mission = sendMission("never");
    mission.insert("schedules", QJsonDocument::fromJson(R"([{"days":[31],"months":[2]}])").array());
    const Service::Call call = service.ctl("zfsrep_mission_append", mission);
    EXPECT_EQ(call.response.value("err").toInt(), 9995);
    EXPECT_EQ(call.response.value("fields").toArray(), QJsonArray{"schedules[0].days"});
    mission.insert("schedules", QJsonDocument::fromJson(R"([{"days":[29],"months":[2],"hours":[1],"minutes":[0]}])").array());
    EXPECT_EQ(service.ctl("zfsrep_mission_append", mission).response.value("err").toInt(), 0) << "29 February comes";
}

} // namespace
