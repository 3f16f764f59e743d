// Mirror missions on the testbed: this machine is the backup host and pulls
// the remote file system backup/prod (the production host) into the local
// replica tank/mirror over the real sshd. Checked: the first run full and
// later ones incremental with about the new data, the replica read-only and
// not mounted, the remote base held with the mission's tag, the remote
// series erased, a replica changed by hand refused with its snapshot named,
// and a cut stream resumed by the next run.
#include "tbharness.h"
#include "transferfixture.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

const QString kSource = "backup/prod";
const QString kReplica = "tank/mirror";

class MirrorPull : public TransferE2e
{
protected:
    // The testbed's clean-up destroys the remote datasets, which the
    // mission's hold would stop.
    void TearDown() override
    {
        if (tb::inTestbed()) {
            for (const QString &snapshot : tb::remoteSnapshots(kSource))
                tb::remoteZfs({"release", "-r", "zfsrep-9", snapshot});
        }
        TransferE2e::TearDown();
    }

    // Mission 9 pulls backup/prod into tank/mirror.
    static QJsonObject mirrorMission(const QJsonObject &overrides = QJsonObject())
    {
        QJsonObject fields{{"msnno", 9}, {"caption", "Mirror"}, {"name", "mirror"}, {"path", kSource}};
        for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
            fields.insert(it.key(), it.value());
        return mission(5, fields);
    }
};

QString remoteHolds(const QString &snapshot) { return QString::fromUtf8(tb::remoteZfs({"holds", "-H", snapshot}).out); }

TEST_F(MirrorPull, FirstRunFullLaterRunsIncrementalIntoAReadOnlyReplicaAndDivergenceIsRefused)
{
    makeRemoteDataset("prod");
    writeRemoteFile(kSource, "a.bin", 400000, 91);
    // An older snapshot of the series and one of another series.
    ASSERT_TRUE(tb::remoteZfs({"snapshot", kSource + "@ZFSREP_20000101000000"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", kSource + "@weekly_1"}).ok());
    const QJsonObject erasing = mirrorMission({{"erase", 1}});

    ASSERT_TRUE(drive->mirrorPool(journals, erasing)) << journalText(journals).toStdString();
    const QString first = "ZFSREP_20240304101520";
    EXPECT_EQ(drive->lastReplication().kind, "full");
    EXPECT_EQ(localSnapshotNames(kReplica), (QStringList{"ZFSREP_20000101000000", "weekly_1", first}));
    EXPECT_EQ(localDigest(kReplica + "@" + first), remoteDigest(kSource + "@" + first));
    EXPECT_EQ(localDigest(kReplica), remoteDigest(kSource));
    EXPECT_EQ(localProperty(kReplica, "readonly"), "on");
    EXPECT_EQ(localProperty(kReplica, "mounted"), "no");
    EXPECT_EQ(localProperty(kReplica, "mountpoint"), "none") << "not mounted over anything";
    EXPECT_TRUE(remoteHolds(kSource + "@" + first).contains("zfsrep-9")) << "the remote base is held";
    EXPECT_EQ(remoteSnapshotNames(kSource), (QStringList{"weekly_1", first}))
        << "the older snapshot of the series is erased on the remote host, another series stays";
    const QString mark =
        QString::fromUtf8(tb::remoteZfs({"get", "-H", "-o", "value", "zfsrep:mission", kSource + "@" + first}).out).trimmed();
    EXPECT_TRUE(mark.endsWith(":9")) << "the remote snapshot is marked as the mission's own: " << mark.toStdString();

    // New data on the production host arrives with the next run, and only it.
    // Written and handed to the test user alone: a chown of the whole tree
    // would change a.bin's inode as well, and it would travel again.
    const qint64 added = 300000;
    const QString written = tb::remotePath(kSource) + "/b.bin";
    tb::writeRandomFile(written, added, 92);
    ASSERT_TRUE(tb::run("chown", {tb::user() + ":", written}).ok());
    setNow(QTime(10, 20, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->mirrorPool(second, erasing)) << journalText(second).toStdString();
    const QString later = "ZFSREP_20240304102000";
    const ReplicationResult incremental = drive->lastReplication();
    EXPECT_EQ(incremental.kind, "incremental");
    EXPECT_EQ(incremental.base, first);
    EXPECT_EQ(incremental.target, later);
    EXPECT_GE(incremental.bytes, added);
    EXPECT_LE(incremental.bytes, added * 12 / 10 + 65536) << "about the new data, not the whole dataset";
    EXPECT_EQ(localDigest(kReplica), remoteDigest(kSource));
    EXPECT_TRUE(localDigest(kReplica).contains("b.bin"));
    EXPECT_TRUE(remoteHolds(kSource + "@" + later).contains("zfsrep-9"));
    EXPECT_EQ(remoteSnapshotNames(kSource), (QStringList{"weekly_1", later})) << "the old base went with its hold";
    EXPECT_EQ(localSnapshotNames(kReplica), (QStringList{"ZFSREP_20000101000000", "weekly_1", first, later}))
        << "erase works on the remote series; the replica keeps its snapshots";

    // A change to the replica after its newest snapshot: refused, named.
    tb::writeRandomFile(tb::localPath(kReplica) + "/foreign.txt", 5000, 93);
    const auto diverged = localDigest(kReplica);
    setNow(QTime(10, 30, 0));
    TQ2Journals third;
    EXPECT_FALSE(drive->mirrorPool(third, erasing));
    EXPECT_TRUE(third.errmsg().contains("the target was changed after its newest snapshot " + later))
        << third.errmsg().toStdString();
    EXPECT_EQ(localDigest(kReplica), diverged) << "the replica is left as it was";
    EXPECT_EQ(remoteSnapshotNames(kSource), (QStringList{"weekly_1", later}))
        << "the run's remote snapshot, which the replica does not hold, was dropped";
    EXPECT_FALSE(journalText(third).contains(tb::password().toUtf8()));

    const QJsonArray records = events();
    ASSERT_EQ(records.size(), 3);
    const QJsonObject refused = records.at(0).toObject();
    EXPECT_EQ(refused.value("level").toString(), "Error");
    EXPECT_EQ(refused.value("message").toString(), "GLOG_ZFSREP_RECVPOOL: tank/mirror RECV " + kSource);
    EXPECT_EQ(refused.value("action").toInt(), 5);
    EXPECT_EQ(refused.value("from").toString(), QString("%1:%2/%3").arg(tb::host()).arg(tb::port()).arg(kSource));
    EXPECT_EQ(refused.value("to").toString(), kReplica);
    EXPECT_EQ(records.at(1).toObject().value("result").toInt(), 1);
}

TEST_F(MirrorPull, ACutStreamIsResumedByTheNextRun)
{
    makeRemoteDataset("prod");
    writeRemoteFile(kSource, "big.bin", 1536 * 1024, 94);
    // Slow enough to be cut half-way: a cancel once part of it has arrived.
    const QJsonObject slow = mirrorMission({{"ratelimit", 512 * 1024}});
    std::atomic<bool> cancelled{false};
    std::thread canceller;
    drive->onStart = [&](const std::shared_ptr<::Run> &run) {
        canceller = std::thread([run, &cancelled] {
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < 20000 && run->progress().bytes() < 256 * 1024)
                QThread::msleep(50);
            cancelled = true;
            run->cancel(CancelToken::Operator);
        });
    };
    EXPECT_FALSE(drive->mirrorPool(journals, slow));
    if (canceller.joinable())
        canceller.join();
    drive->onStart = nullptr;
    ASSERT_TRUE(cancelled.load());
    EXPECT_EQ(drive->lastReplication().kind, "full");
    EXPECT_NE(localProperty(kReplica, "receive_resume_token"), "-") << "the cut receive is resumable";
    const QStringList kept = remoteSnapshotNames(kSource);
    ASSERT_EQ(kept.size(), 1) << "a cancelled run keeps its remote snapshot for the resume";

    setNow(QTime(10, 40, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->mirrorPool(second, mirrorMission())) << journalText(second).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "resume");
    EXPECT_EQ(localProperty(kReplica, "receive_resume_token"), "-");
    EXPECT_EQ(localDigest(kReplica), remoteDigest(kSource));
    EXPECT_EQ(localSnapshotNames(kReplica), remoteSnapshotNames(kSource));
    EXPECT_TRUE(remoteHolds(kSource + "@" + remoteSnapshotNames(kSource).last()).contains("zfsrep-9"));
}

} // namespace
