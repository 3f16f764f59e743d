// Send and receive missions against a scripted runner: what is listed, what
// the planner's decision turns into, and what happens around the stream
// (snapshot names, holds, erase, clean-up, resume, stall and cancel).
#include "fakerunner.h"
#include "fixtures.h"
#include "missiondriver.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QRegularExpression>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const QString kSsh = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 ";
const QString kLocalList = "zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data";
const QString kLocalToken = "zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data";
const QString kRemoteList =
    kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r backup/data";
const QString kRemoteToken =
    kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written backup/data";
// One dataset listed again after a stream of it alone.
const QString kRemoteOne = kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg,receive_resume_token,written -t "
                                  "filesystem,volume,snapshot -s createtxg -d 1 backup/data";
const QString kCreated = "tank/data@daily_20240305070809";

// "a:1 b:2" → listing lines of `dataset`.
QByteArray listing(const QString &dataset, const QString &text)
{
    QByteArray out;
    int txg = 100;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        out += (dataset + "@" + parts.at(0) + "\t" + parts.at(1) + "\t" + QString::number(txg++) + "\n").toUtf8();
    }
    return out;
}

class Replication : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setRunner(runner);
        engine.settings().sshControlDirectory = QString();
        engine.events().open(dir.filePath("tarnlog.db"));
        engine.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });
        runner->respond("zfs send -nvP", 0, "size\t1000\n");
        runner->respond(kSsh + "/usr/sbin/zfs send -nvP", 0, "size\t2000\n");
        runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\n");
        runner->respond(kRemoteToken, 0, "backup/data\treceive_resume_token\t-\n");
    }

    QJsonObject mission(int action, const QString &path = "backup")
    {
        return QJsonObject{{"msnno", 7}, {"caption", "Nightly"}, {"action", action}, {"pool", "tank"},
                           {"name", "data"}, {"path", path}, {"host", "127.0.0.1"}, {"port", "2222"},
                           {"userid", "zr"}, {"passwd", "Secret-1"}, {"snapname", "daily"}, {"erase", 1}};
    }

    // The pipelines the stages ran, without the script wrapper.
    QStringList pipelines() const
    {
        QStringList result;
        for (const ProcessRequest &request : runner->spawns()) {
            const QString command = request.arguments.value(3);
            EXPECT_TRUE(command.startsWith("set -o pipefail; "));
            EXPECT_FALSE(command.contains("Secret-1"));
            result.append(command.mid(QString("set -o pipefail; ").size()));
        }
        return result;
    }

    static FakeStage moving(qint64 bytes)
    {
        FakeStage stage;
        stage.chunks = {"1.0001 " + QByteArray::number(bytes) + "\r\n"};
        return stage;
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    MissionDriver driver{engine};
    TQ2Journals journals;
};

TEST_F(Replication, FirstSendIsOneFullReplicationStreamIntoASafeReplica)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 b:2 c:3"));
    runner->respondOnce(kRemoteToken, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1 b:2 c:3")); // what the stream left
    runner->queueStage(moving(2000));
    ASSERT_TRUE(driver.sendSnapshots(journals, mission(1)));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1) << "one full stream, no incremental after it";
    EXPECT_TRUE(stages.at(0).startsWith("zfs send -w -R tank/data@c | pv -f -n -b -t -i 1 | sshpass -e ssh"))
        << stages.at(0).toStdString();
    EXPECT_TRUE(stages.at(0).contains("-o ServerAliveInterval=15 "));
    EXPECT_TRUE(stages.at(0).endsWith("'/usr/sbin/zfs recv -s -u -o mountpoint=none -x sharenfs -x sharesmb -o readonly=on backup/data'"))
        << stages.at(0).toStdString();
    EXPECT_EQ(runner->spawns().at(0).environment.value("SSHPASS"), "Secret-1");
    EXPECT_EQ(driver.lastReplication().kind, "full");
    EXPECT_EQ(driver.lastReplication().bytes, 2000);
}

TEST_F(Replication, IncrementalBaseIsTheNewestCommonSnapshotByGuid)
{
    const struct {
        const char *name;
        const char *local;
        const char *remote;
        const char *after; // the target listed again after the stream
        const char *expected;
    } cases[] = {
        {"common in the middle", "s0:1 s1:2 s2:3 s3:4 s4:5", "s0:1 s1:2 s2:3", "s0:1 s1:2 s2:3 s3:4 s4:5",
         "zfs send -w -R -I tank/data@s2 tank/data@s4"},
        {"oldest local destroyed by hand", "s2:3 s3:4 s4:5", "s0:1 s1:2 s2:3 s3:4", "s0:1 s1:2 s2:3 s3:4 s4:5",
         "zfs send -w -R -I tank/data@s3 tank/data@s4"},
        {"renamed on the source, same guid", "s0:1 moved:2 s4:5", "s0:1 s1:2", "s0:1 s1:2 s4:5",
         "zfs send -w -R -I tank/data@moved tank/data@s4"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = std::make_shared<FakeRunner>();
        engine.setRunner(fresh);
        runner = fresh;
        SetUp();
        fresh->respond(kLocalList, 0, listing("tank/data", c.local));
        fresh->respondOnce(kRemoteList, 0, listing("backup/data", c.remote));
        fresh->respond(kRemoteList, 0, listing("backup/data", c.after));
        EXPECT_TRUE(driver.sendSnapshots(journals, mission(1)));
        const QStringList stages = pipelines();
        ASSERT_EQ(stages.size(), 1);
        EXPECT_TRUE(stages.at(0).startsWith(c.expected)) << stages.at(0).toStdString();
    }
}

TEST_F(Replication, DivergedTargetIsRefusedAndNothingIsDestroyed)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 b:2"));
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1 b:2 manual:9"));
    EXPECT_FALSE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_CONFLICT);
    EXPECT_TRUE(journals.errmsg().contains("manual")) << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->spawns().isEmpty());
    EXPECT_FALSE(runner->runLines().join('\n').contains("destroy"));
    EXPECT_FALSE(runner->runLines().join('\n').contains("rollback"));
}

TEST_F(Replication, PendingTokenIsResumedThenTheRunPlansAgain)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 b:2"));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "a:1"));
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1 b:2"));
    runner->respond(kRemoteOne, 0, datasetListing("backup/data", "a:1 b:2"));
    runner->respondOnce(kRemoteToken, 0, "backup/data\treceive_resume_token\t1-abc-def\n");
    runner->respondOnce("zfs send -nvP -t 1-abc-def", 0, "size\t300\n");
    runner->queueStage(moving(300));
    ASSERT_TRUE(driver.sendSnapshots(journals, mission(1)));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1) << "after the resume the target is up to date";
    EXPECT_TRUE(stages.at(0).startsWith("zfs send -t 1-abc-def | pv")) << stages.at(0).toStdString();
    EXPECT_EQ(driver.lastReplication().kind, "resume");
    EXPECT_EQ(driver.lastReplication().target, "b");
}

TEST_F(Replication, StaleTokenIsAbortedAndTheRunSendsAFreshPlan)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 c:3"));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "a:1"));
    runner->respondOnce(kRemoteOne, 0, datasetListing("backup/data", "a:1"));
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1 c:3"));
    runner->respondOnce(kRemoteToken, 0, "backup/data\treceive_resume_token\t1-old\n");
    runner->respondOnce("zfs send -nvP -t 1-old", 1, "",
                    "cannot resume send: 'tank/data@b' used in the initial send no longer exists\n");
    ASSERT_TRUE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_TRUE(runner->runLines().contains(kSsh + "/usr/sbin/zfs recv -A backup/data"));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1);
    EXPECT_TRUE(stages.at(0).startsWith("zfs send -w -R -I tank/data@a tank/data@c"));
}

TEST_F(Replication, StalledStageIsEndedWithTheReason)
{
    engine.settings().stallTimeoutSeconds = 1;
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respond(kRemoteList, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    FakeStage stuck = moving(10);
    stuck.hangs = true;
    runner->queueStage(stuck);
    EXPECT_FALSE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_EQ(runner->terminated(), 1);
    EXPECT_TRUE(journals.errmsg().startsWith("stalled: no data for 1 s")) << journals.errmsg().toStdString();
    EXPECT_TRUE(driver.lastReplication().stalled);
}

TEST_F(Replication, CancelEndsTheStageAndFailsTheRun)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respond(kRemoteList, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    FakeStage hanging = moving(10);
    hanging.hangs = true;
    hanging.onStart = [this] { driver.lastRun()->cancel(CancelToken::Operator); };
    runner->queueStage(hanging);
    EXPECT_FALSE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_EQ(runner->terminated(), 1);
    EXPECT_EQ(runner->spawns().size(), 1);
    EXPECT_TRUE(journals.errmsg().contains("cancelled"));
    EXPECT_TRUE(driver.lastReplication().cancelled);
}

TEST_F(Replication, FailedStreamFailsWithTheToolsMessage)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respond(kRemoteList, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    FakeStage failing;
    failing.chunks = {"1.0 0\r\ncannot receive: failed to read from stream\r\n"};
    failing.exitCode = 1;
    runner->queueStage(failing);
    EXPECT_FALSE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_EQ(journals.errmsg(), "cannot receive: failed to read from stream");
    EXPECT_FALSE(QJsonDocument(journals.segments()).toJson().contains("Secret-1"));
}

TEST_F(Replication, UnreachableTargetIsAFailureNotAFullSend)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respond(kRemoteList, 255, "", "ssh: connect to host 127.0.0.1 port 2222: Connection refused\n");
    EXPECT_FALSE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_TRUE(runner->spawns().isEmpty());
    EXPECT_TRUE(journals.errmsg().contains("Connection refused"));
}

TEST_F(Replication, SendPoolSnapshotsRecursivelyHoldsTheBaseAndErasesOnlyUnheldSeries)
{
    runner->respond(kLocalList, 0, listing("tank/data", "daily_20240303070809:1 weekly_1:2 daily_20240304070809:3 daily_20240305070809:4"));
    // Listed by the check before the snapshot, then by the replication.
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "daily_20240303070809:1 weekly_1:2 daily_20240304070809:3"));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "daily_20240303070809:1 weekly_1:2 daily_20240304070809:3"));
    runner->respond(kRemoteList, 0, listing("backup/data", "daily_20240303070809:1 weekly_1:2 daily_20240304070809:3 daily_20240305070809:4"));
    runner->respond("zfs list -t snapshot -H -o name tank/data", 0,
                    ("tank/data@daily_20240303070809\ntank/data@weekly_1\ntank/data@daily_20240304070809\n" + kCreated + "\n").toUtf8());
    runner->respond("zfs holds -H -r tank/data@daily_20240304070809", 0, "tank/data@daily_20240304070809\tzfsrep-7\tThu Mar  5 07:00 2024\n");
    runner->respond("zfs holds -H -r tank/data@daily_20240303070809", 0, "tank/data@daily_20240303070809\tother-tool\tThu Mar  5 07:00 2024\n");
    runner->respond("zfs holds -H tank/data@daily_20240303070809", 0,
                    "tank/data@daily_20240303070809\tother-tool\tx\ntank/data@daily_20240304070809\tzfsrep-7\tx\n");
    runner->queueStage(moving(500));
    ASSERT_TRUE(driver.sendPool(journals, mission(1)));
    const QStringList lines = runner->runLines();
    // The target is checked first; the snapshot is the first local command.
    EXPECT_TRUE(lines.first().startsWith(kSsh)) << lines.first().toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^zfs ")).first(), "zfs snapshot -r " + kCreated);
    EXPECT_TRUE(lines.contains("zfs hold -r zfsrep-7 " + kCreated));
    EXPECT_TRUE(lines.contains("zfs release -r zfsrep-7 tank/data@daily_20240304070809"));
    EXPECT_FALSE(lines.contains("zfs release -r other-tool tank/data@daily_20240303070809"));
    EXPECT_TRUE(lines.contains("zfs destroy -r tank/data@daily_20240304070809"));
    EXPECT_FALSE(lines.contains("zfs destroy -r tank/data@daily_20240303070809")) << "held by another tool";
    EXPECT_FALSE(lines.contains("zfs destroy -r tank/data@weekly_1"));
    EXPECT_FALSE(lines.contains("zfs destroy -r " + kCreated));
    EXPECT_TRUE(QJsonDocument(journals.segments()).toJson().contains("held by other-tool"));
}

TEST_F(Replication, TakenSnapshotNameGetsASuffixOfTheSeries)
{
    runner->respondOnce("zfs snapshot -r " + kCreated, 1, "",
                        "cannot create snapshot '" + kCreated.toUtf8() + "': dataset already exists\n");
    runner->respond(kLocalList, 0, listing("tank/data", "daily_20240305070809:4 daily_20240305070809_2:5"));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "daily_20240305070809:4"));
    runner->respond(kRemoteList, 0, listing("backup/data", "daily_20240305070809:4 daily_20240305070809_2:5"));
    runner->queueStage(moving(100));
    ASSERT_TRUE(driver.sendPool(journals, mission(1)));
    EXPECT_TRUE(runner->runLines().contains("zfs snapshot -r " + kCreated + "_2"));
}

TEST_F(Replication, SnapshotOfARunThatSentNothingIsDestroyed)
{
    runner->respond(kLocalList, 0, listing("tank/data", "daily_20240305070809:4"));
    runner->respond(kRemoteList, 0, listing("backup/data", "foreign:9"));
    EXPECT_FALSE(driver.sendPool(journals, mission(1)));
    EXPECT_TRUE(runner->runLines().contains("zfs destroy -r " + kCreated));
}

TEST_F(Replication, SnapshotOfARunThatSentBytesIsKeptForTheResume)
{
    runner->respond(kLocalList, 0, listing("tank/data", "daily_20240305070809:4"));
    // Not there at the check, nor at the replication's first listing.
    runner->respondOnce(kRemoteToken, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    runner->respondOnce(kRemoteToken, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    // Listed again after the cut: a partial receive of the snapshot waits.
    runner->respondOnce(kRemoteToken, 0, "backup/data\treceive_resume_token\t1-partial\n");
    FakeStage cut = moving(600);
    cut.exitCode = 1;
    runner->queueStage(cut);
    EXPECT_FALSE(driver.sendPool(journals, mission(1)));
    EXPECT_FALSE(runner->runLines().contains("zfs destroy -r " + kCreated));
}

TEST_F(Replication, PullIsBoundedByTheNamedSnapshot)
{
    const QString remoteList = kRemoteList; // the pull lists the remote dataset of the path
    runner->respond(remoteList, 0, listing("backup/data", "s1:1 s2:2 s3:3"));
    runner->respondOnce(kLocalToken, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(kLocalList, 0, listing("tank/data", "s1:1 s2:2"));
    runner->queueStage(moving(100));
    ASSERT_TRUE(driver.recvSnapshots(journals, mission(2, "backup/data@s2")));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1);
    EXPECT_TRUE(stages.at(0).contains("'/usr/sbin/zfs send -R backup/data@s2'"))
        << stages.at(0).toStdString();
    EXPECT_TRUE(stages.at(0).endsWith("| zfs recv -s -u -x readonly -x mountpoint -x sharenfs -x sharesmb -o setuid=off -o devices=off tank/data"))
        << stages.at(0).toStdString();
    EXPECT_EQ(runner->runLines().last(), "zfs set mountpoint=/mnt/tank/data tank/data");
}

TEST_F(Replication, PullOfAMissingNamedSnapshotFailsNamingIt)
{
    runner->respond(kRemoteList, 0, listing("backup/data", "s1:1 s3:3"));
    EXPECT_FALSE(driver.recvSnapshots(journals, mission(2, "backup/data@s2")));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_NOT_EXISTS);
    EXPECT_TRUE(journals.errmsg().contains("backup/data@s2")) << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->spawns().isEmpty());
}

TEST_F(Replication, FailedMountStepFailsTheReceive)
{
    runner->respond(kRemoteList, 0, listing("backup/data", "s1:1"));
    runner->respondOnce(kLocalToken, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(kLocalList, 0, listing("tank/data", "s1:1"));
    runner->respond("zfs set mountpoint=", 1, "", "cannot set property for 'tank/data': permission denied\n");
    runner->queueStage(moving(100));
    EXPECT_FALSE(driver.recvSnapshots(journals, mission(2, "backup/data")));
    EXPECT_TRUE(journals.errmsg().contains("permission denied"));
}

TEST_F(Replication, OneLoginCarriesEveryRemoteCommandOfTheRun)
{
    QTemporaryDir sockets;
    ASSERT_TRUE(sockets.isValid());
    engine.settings().sshControlDirectory = sockets.filePath("ssh");
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 b:2"));
    runner->respondContaining("receive_resume_token,written backup/data", 0, "backup/data\treceive_resume_token\t-\n");
    runner->respondOnce("sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                        "-o ServerAliveCountMax=4 -o ConnectTimeout=20 -o ControlPath=",
                        0, listing("backup/data", "a:1"));
    runner->respond("sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                    "-o ServerAliveCountMax=4 -o ConnectTimeout=20 -o ControlPath=",
                    0, listing("backup/data", "a:1 b:2"));
    runner->queueStage(moving(100));
    ASSERT_TRUE(driver.sendSnapshots(journals, mission(1)));
    const QList<ProcessRequest> runs = runner->runs();
    ASSERT_GE(runs.size(), 4);
    const QStringList master = runs.first().arguments;
    EXPECT_EQ(runs.first().program, "sshpass");
    EXPECT_TRUE(master.contains("ControlMaster=yes") && master.contains("-f") && master.contains("-N"));
    // the forked master must outlive the hangup of sshpass's terminal
    EXPECT_EQ(master.mid(0, 3), (QStringList{"-e", "nohup", "ssh"}));
    EXPECT_EQ(runs.first().environment.value("SSHPASS"), "Secret-1");
    const QString controlPath = master.filter("ControlPath=").value(0);
    ASSERT_TRUE(controlPath.startsWith("ControlPath=" + sockets.filePath("ssh") + "/m7-"));
    EXPECT_EQ(QFileInfo(sockets.filePath("ssh")).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    for (const ProcessRequest &request : runs) {
        if (request.program == "sshpass" || request.program == "ssh") {
            EXPECT_TRUE(request.arguments.contains(controlPath)) << FakeRunner::commandLine(request).toStdString();
        }
    }
    EXPECT_TRUE(pipelines().at(0).contains("-o " + controlPath + " ")) << pipelines().at(0).toStdString();
    EXPECT_EQ(runs.last().program, "ssh");
    EXPECT_TRUE(runs.last().arguments.contains("exit"));
}

} // namespace

namespace {

TEST_F(Replication, ResumedRunCountsFromTheOffsetTheTargetHolds)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1 b:2"));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", "a:1"));
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1 b:2"));
    runner->respond(kRemoteOne, 0, datasetListing("backup/data", "a:1 b:2"));
    runner->respondOnce(kRemoteToken, 0, "backup/data\treceive_resume_token\t1-abc-def\n");
    // $ zfs send -nvP -t TOKEN: the token's contents first, then the estimate
    // of what is left.
    runner->respondOnce("zfs send -nvP -t 1-abc-def", 0,
                        "resume token contents:\nnvlist version: 0\n\tobject = 0x1\n\toffset = 0x0\n"
                        "\tbytes = 0x300000\n\ttoguid = 0x2\n\ttoname = tank/data@b\nincremental\ta\ttank/data@b\t1048576\n"
                        "size\t1048576\n");
    QJsonObject atStart;
    FakeStage resumed = moving(524288);
    resumed.onStart = [&] { atStart = driver.lastRun()->progress().toJson(); };
    runner->queueStage(resumed);
    ASSERT_TRUE(driver.sendSnapshots(journals, mission(1)));
    EXPECT_EQ(atStart.value("bytes").toVariant().toLongLong(), 0x300000) << "the stage starts where the cut one stopped";
    EXPECT_EQ(atStart.value("total").toVariant().toLongLong(), 0x300000 + 1048576);
    const QJsonObject atEnd = driver.lastRun()->progress().toJson();
    EXPECT_EQ(atEnd.value("bytes").toVariant().toLongLong(), 0x300000 + 524288);
    EXPECT_EQ(atEnd.value("rate").toInt(), 100);
}

TEST_F(Replication, EveryCommandOfARunCarriesItsCancelToken)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respondOnce(kRemoteToken, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    runner->respond(kRemoteList, 0, listing("backup/data", "a:1"));
    runner->queueStage(moving(10));
    ASSERT_TRUE(driver.sendPool(journals, mission(1)));
    const CancelToken *token = &driver.lastRun()->cancelToken();
    const QList<ProcessRequest> requests = runner->runs();
    ASSERT_FALSE(requests.isEmpty());
    for (const ProcessRequest &request : requests)
        EXPECT_EQ(request.cancel, token) << FakeRunner::commandLine(request).toStdString();
}

TEST_F(Replication, ACancelledRunStartsNoFurtherCommand)
{
    runner->respond(kLocalList, 0, listing("tank/data", "a:1"));
    runner->respond(kRemoteList, 1, "", "cannot open 'backup/data': dataset does not exist\n");
    driver.onStart = [](const std::shared_ptr<::Run> &run) { run->cancel(CancelToken::Operator); };
    EXPECT_FALSE(driver.sendPool(journals, mission(1)));
    EXPECT_TRUE(runner->spawns().isEmpty()) << "no stream after a cancel";
    for (const QString &line : runner->runLines())
        EXPECT_FALSE(line.contains("destroy") || line.contains("release")) << line.toStdString();
}

} // namespace
