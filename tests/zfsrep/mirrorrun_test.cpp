// A mirror run (action 5) against a scripted runner: the exact commands of
// a run that succeeds (the remote snapshot with the mission's mark, the
// stream from the remote host into the local read-only replica, the hold
// moved on the remote host, the bookmark kept there, the series erased
// there), a replica changed by hand refused with its snapshot named and the
// remote snapshot dropped again, a replica with no place here refused
// before anything is snapshotted, the clean-up of a removed mirror, and its
// dry run (zfsrepctl check).
#include "fakerunner.h"
#include "fixtures.h"
#include "missioncheck.h"
#include "missioncleanup.h"
#include "missiondriver.h"
#include "mxzfsrep.h"
#include "ownsnapshots.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const QString kSsh = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 /usr/sbin/zfs ";
const QString kInstance = "0123456789abcdef0123456789abcdef";
// The local replica.
const QString kLocalList = "zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data";
const QString kLocalToken = "zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data";
// The remote source.
const QString kRemoteList = kSsh + "list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r prod/data";
const QString kRemoteToken = kSsh + "get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written prod/data";
const QString kRemoteNames = kSsh + "list -t snapshot -H -o name prod/data";
const QString kCreated = "daily_20240305070809";
const QString kOlder = "daily_20240304070809";

QByteArray lines(const QString &dataset, const QString &text, const QString &mark = "@")
{
    QByteArray out;
    int txg = 100;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        out += (dataset + mark + parts.at(0) + "\t" + parts.at(1) + "\t" + QString::number(txg++) + "\n").toUtf8();
    }
    return out;
}

QByteArray names(const QString &dataset, const QStringList &shortNames)
{
    QByteArray out;
    for (const QString &name : shortNames)
        out += (dataset + "@" + name + "\n").toUtf8();
    return out;
}

class MirrorRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setRunner(runner);
        engine.settings().sshControlDirectory = QString();
        engine.settings().instance = kInstance;
        engine.events().open(dir.filePath("tarnlog.db"));
        engine.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });
        runner->respondContaining("zfs send -nvP", 0, "size\t1000\n");
        runner->respond(kRemoteToken, 0, "prod/data\treceive_resume_token\t-\n");
    }

    static QJsonObject mission(const QJsonObject &overrides = QJsonObject())
    {
        QJsonObject m{{"msnno", 7}, {"caption", "Pulled"}, {"action", 5}, {"pool", "tank"},
                      {"name", "data"}, {"path", "prod/data"}, {"host", "127.0.0.1"}, {"port", "2222"},
                      {"userid", "zr"}, {"passwd", "Secret-1"}, {"snapname", "daily"}};
        for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
            m.insert(it.key(), it.value());
        return m;
    }

    // The stream pipelines, without the shell's preamble.
    QStringList pipelines() const
    {
        QStringList result;
        for (const ProcessRequest &request : runner->spawns())
            result.append(request.arguments.value(3).mid(QString("set -o pipefail; ").size()));
        return result;
    }

    // The replica holds the older snapshot; the remote host both, after the
    // run's snapshot. The stream brings the new one to the replica.
    void scriptIncremental()
    {
        runner->respondOnce(kLocalList, 0, lines("tank/data", kOlder + ":3"));
        runner->respondOnce(kLocalList, 0, lines("tank/data", kOlder + ":3"));
        runner->respond(kLocalList, 0, lines("tank/data", kOlder + ":3 " + kCreated + ":4"));
        runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\ntank/data\twritten\t0\n");
        runner->respond(kRemoteList, 0, lines("prod/data", "daily_20240303070809:2 " + kOlder + ":3 " + kCreated + ":4"));
        FakeStage stage;
        stage.chunks = {"1.0001 500\r\n"};
        runner->queueStage(stage);
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    MissionDriver driver{engine};
    TQ2Journals journals;
};

} // namespace

TEST_F(MirrorRuns, ARemoteSnapshotIsPulledIntoAReadOnlyUnmountedReplica)
{
    scriptIncremental();
    ASSERT_TRUE(driver.mirrorPool(journals, mission())) << journals.errmsg().toStdString();
    const QStringList run = runner->runLines();
    const QString snapshot = kSsh + "snapshot -r -o zfsrep:mission=" + OwnSnapshots::mark(kInstance, 7) + " prod/data@"
                             + kCreated;
    const int checked = run.indexOf(kLocalList);
    const int made = run.indexOf(snapshot);
    ASSERT_GE(checked, 0);
    EXPECT_GT(made, checked) << "the replica's place is checked before the remote snapshot\n"
                             << run.join("\n").toStdString();
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1);
    EXPECT_TRUE(stages.at(0).contains("/usr/sbin/zfs send -w -R -I prod/data@" + kOlder + " prod/data@" + kCreated))
        << stages.at(0).toStdString();
    EXPECT_TRUE(stages.at(0).endsWith(
        "zfs recv -s -u -o mountpoint=none -x sharenfs -x sharesmb -o readonly=on tank/data"))
        << stages.at(0).toStdString();
    const ReplicationResult noted = driver.lastReplication();
    EXPECT_EQ(noted.kind, "incremental");
    EXPECT_EQ(noted.target, kCreated);
}

TEST_F(MirrorRuns, TheHoldMovesAndTheSeriesIsErasedOnTheRemoteHost)
{
    scriptIncremental();
    runner->respond(kRemoteNames, 0, names("prod/data", {"daily_20240303070809", "by_hand", kOlder, kCreated}));
    // The hold of the old base, among the other snapshots of the dataset.
    runner->respond(kSsh + "holds -H prod/data@daily_20240303070809 prod/data@by_hand prod/data@" + kOlder, 0,
                    "prod/data@" + kOlder.toUtf8() + "\tzfsrep-7\tMon Mar  4 07:08 2024\n");
    runner->respond(kSsh + "list -H -p -o name,guid,createtxg -t bookmark,snapshot -s createtxg -r prod/data", 0,
                    lines("prod/data", kOlder + ":3 " + kCreated + ":4"));
    runner->respond(kSsh + "holds -H -r prod/data@daily_20240303070809", 0, "");
    runner->respond(kSsh + "holds -H -r prod/data@" + kOlder, 0, "");
    ASSERT_TRUE(driver.mirrorPool(journals, mission({{"erase", 1}}))) << journals.errmsg().toStdString();
    const QStringList run = runner->runLines();
    const int held = run.indexOf(kSsh + "hold -r zfsrep-7 prod/data@" + kCreated);
    const int released = run.indexOf(kSsh + "release -r zfsrep-7 prod/data@" + kOlder);
    ASSERT_GE(held, 0) << run.join("\n").toStdString();
    EXPECT_GT(released, held) << "the old base is released once the new one is held";
    EXPECT_TRUE(run.contains(kSsh + "bookmark prod/data@" + kCreated + " 'prod/data#zfsrep_7_20240305070809'"))
        << run.join("\n").toStdString();
    EXPECT_EQ(run.filter(kSsh + "destroy -r").join("\n"),
              QStringList({kSsh + "destroy -r prod/data@" + kOlder, kSsh + "destroy -r prod/data@daily_20240303070809"})
                  .join("\n"))
        << "older series snapshots erased on the remote host, newest first; by_hand stays";
    EXPECT_TRUE(run.filter("zfs hold").filter("tank/").isEmpty()) << "no hold on the local replica";
}

TEST_F(MirrorRuns, AReplicaChangedByHandIsRefusedNamingItsSnapshot)
{
    runner->respond(kLocalList, 0, lines("tank/data", kOlder + ":3"));
    runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\ntank/data\twritten\t81920\n");
    runner->respond(kRemoteList, 0, lines("prod/data", kOlder + ":3 " + kCreated + ":4"));
    EXPECT_FALSE(driver.mirrorPool(journals, mission()));
    EXPECT_TRUE(pipelines().isEmpty()) << "nothing received, nothing rolled back";
    EXPECT_TRUE(journals.errmsg().contains("the target was changed after its newest snapshot " + kOlder))
        << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->runLines().contains(kSsh + "destroy -r prod/data@" + kCreated))
        << "the run's remote snapshot goes again";

    // Snapshots the remote host does not have: named as well.
    runner = std::make_shared<FakeRunner>();
    engine.setRunner(runner);
    runner->respond(kRemoteToken, 0, "prod/data\treceive_resume_token\t-\n");
    runner->respond(kLocalList, 0, lines("tank/data", kOlder + ":3 by_hand:9"));
    runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\n");
    runner->respond(kRemoteList, 0, lines("prod/data", kOlder + ":3 " + kCreated + ":4"));
    TQ2Journals second;
    EXPECT_FALSE(driver.mirrorPool(second, mission()));
    EXPECT_TRUE(second.errmsg().contains("newer than the common snapshot " + kOlder + ": by_hand"))
        << second.errmsg().toStdString();
}

TEST_F(MirrorRuns, NoPlaceForTheReplicaMeansNoRemoteSnapshot)
{
    const QString parentList = "zfs list -H -p -o name,guid,createtxg,receive_resume_token,written -t filesystem,volume,snapshot "
                               "-s createtxg -d 1 tank";
    runner->respond(kLocalList, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(kLocalToken, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(parentList, 1, "", "cannot open 'tank': dataset does not exist\n");
    EXPECT_FALSE(driver.mirrorPool(journals, mission()));
    EXPECT_TRUE(journals.errmsg().contains("the parent tank does not exist")) << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->runLines().filter("sshpass").isEmpty()) << runner->runLines().join("\n").toStdString();
    const QJsonArray records = [&] {
        QJsonArray out;
        engine.events().list(out);
        return out;
    }();
    ASSERT_EQ(records.size(), 1);
    EXPECT_TRUE(QJsonDocument(records).toJson().contains("GLOG_ZFSREP_RECVPOOL")) << QJsonDocument(records).toJson().constData();
}

TEST_F(MirrorRuns, ARemovedMirrorReleasesItsHoldAndBookmarksOnTheRemoteHost)
{
    runner->respond(kRemoteList, 0, lines("prod/data", kOlder + ":3") + lines("prod/data/kid", kOlder + ":13"));
    runner->respond(kSsh + "list -H -o name -t snapshot -r prod/data", 0,
                    names("prod/data", {kOlder}) + names("prod/data/kid", {kOlder}));
    runner->respond(kSsh + "holds -H prod/data@" + kOlder, 0,
                    "prod/data@" + kOlder.toUtf8() + "\tzfsrep-7\tMon Mar  4 07:08 2024\nprod/data@" + kOlder.toUtf8()
                        + "\tother\tMon Mar  4 07:08 2024\n");
    runner->respond(kSsh + "list -H -p -o name,guid,createtxg -t bookmark -s createtxg -r prod/data", 0,
                    lines("prod/data", "zfsrep_7_20240304070809:3 zfsrep_8_20240304070809:3", "#"));
    const RunServices services{engine.runner(), engine.settings(), engine.events(), [] { return QDateTime(); }};
    MissionCleanup(services).clean(Mission::fromRow(mission()));
    const QStringList run = runner->runLines();
    EXPECT_EQ(run.filter("release").size(), 1) << run.join("\n").toStdString();
    EXPECT_TRUE(run.filter("release").value(0).startsWith(kSsh + "release zfsrep-7 ")) << run.join("\n").toStdString();
    EXPECT_TRUE(run.filter("release").value(0).contains("prod/data@" + kOlder));
    EXPECT_EQ(run.filter("destroy").join("\n"), kSsh + "destroy 'prod/data#zfsrep_7_20240304070809'")
        << "the mission's bookmark only; another mission's stays";
}

TEST_F(MirrorRuns, TheCheckLooksAtTheRemoteSourceAndTheReplicasPlaceHere)
{
    runner->respond(kRemoteList, 0, lines("prod/data", kOlder + ":3 " + kCreated + ":4"));
    runner->respond(kLocalList, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(kLocalToken, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    runner->respond(kSsh + "list -Hp -o used,available prod/data", 0, "3000000\t9000000\n");
    runner->respond("zfs list -Hp -o used,available tank", 0, "1000\t2000000\n");
    const RunServices services{engine.runner(), engine.settings(), engine.events(), [] { return QDateTime(); }};
    QStringList seen;
    for (const MissionCheck::Line &line : MissionCheck(services).check(Mission::fromRow(mission())))
        seen << QString("%1 %2: %3").arg(line.ok ? "ok" : "FAILED", line.check, line.text);
    EXPECT_EQ(seen.join("\n").toStdString(),
              QStringList({"ok login: logged in to 127.0.0.1 as zr",
                           "ok host key: the key of [127.0.0.1]:2222 is on record",
                           "ok source dataset: on 127.0.0.1 as zr: prod/data exists with 2 snapshots",
                           "ok local pool: the pool tank exists",
                           "ok target: tank/data is new; its parent tank exists",
                           "FAILED space: about 2.9 MiB to write, only 1.9 MiB free in tank"})
                  .join("\n")
                  .toStdString());
    EXPECT_TRUE(runner->runLines().filter("snapshot -r").isEmpty()) << "a check makes nothing";
}
