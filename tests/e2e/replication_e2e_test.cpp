// Replication as an operator runs it for weeks, on the testbed: what crosses
// the wire per run (counted where the remote zfs receives it), datasets with
// children, replicas that cannot diverge, cut and stalled transfers, a
// diverged target, and holds. Data is compared file by file at both ends.
#include "tbharness.h"
#include "tq2error.h"
#include "transferfixture.h"

#include <QElapsedTimer>
#include <QFile>

namespace {

using Replication = TransferE2e;

const QString kSource = "tank/src";
const QString kTarget = "backup/src";
const qint64 kMiB = 1048576;

// The remote /usr/sbin/zfs is wrapped so that every remote receive adds the
// size of the stream it read to a file: the bytes that crossed the wire,
// counted at the receiving end.
class WireCounter
{
public:
    WireCounter()
    {
        log = tb::scratchDir("wire") + "/received";
        QFile::remove(log);
        const QString script =
            "set -e; [ -e /usr/sbin/zfs.real ] || cp /usr/sbin/zfs /usr/sbin/zfs.real; "
            "cat > /usr/sbin/zfs <<'WRAP'\n"
            "#!/bin/bash\n"
            "if [ \"$1\" = recv ] && [ \"$ZFS_SIM_ROOT\" = '" + tb::remoteRoot() + "' ] && [ \"$2\" != -A ]; then\n"
            "  tmp=$(mktemp)\n"
            "  tee \"$tmp\" | /usr/sbin/zfs.real \"$@\"; status=${PIPESTATUS[1]}\n"
            "  stat -c %s \"$tmp\" >> '" + log + "'; rm -f \"$tmp\"\n"
            "  exit $status\n"
            "fi\n"
            "exec /usr/sbin/zfs.real \"$@\"\n"
            "WRAP\n"
            "chmod 755 /usr/sbin/zfs; touch '" + log + "'; chmod 666 '" + log + "'; chmod 777 \"$(dirname '" + log + "')\"";
        ok = tb::bash(script).ok();
    }
    ~WireCounter() { tb::bash("[ -e /usr/sbin/zfs.real ] && mv -f /usr/sbin/zfs.real /usr/sbin/zfs || true"); }

    // Bytes of every receive since the last call.
    qint64 take()
    {
        QFile file(log);
        qint64 total = 0;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n'))
                total += line.trimmed().toLongLong();
        }
        const qint64 result = total - seen;
        seen = total;
        return result;
    }

    bool ok = false;

private:
    QString log;
    qint64 seen = 0;
};

QString holdsOf(const QString &snapshot) { return QString::fromUtf8(tb::localZfs({"holds", "-H", snapshot}).out); }

TEST_F(Replication, EachRunSendsOnlyTheNewDataFromTheNewestCommonSnapshot)
{
    WireCounter wire;
    ASSERT_TRUE(wire.ok);
    makeLocalDataset("src", 31);
    const QJsonObject keeping = mission(1, {{"msnno", 5}});
    ASSERT_TRUE(drive->sendPool(journals, keeping)) << journalText(journals).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "full");
    wire.take();

    QString previous = localSnapshotNames(kSource).last();
    for (int run = 1; run < 10; ++run) {
        SCOPED_TRACE(run);
        if (run == 5) {
            // Someone destroys the oldest local snapshot: the base is still found.
            const QString oldest = localSnapshotNames(kSource).first();
            tb::localZfs({"release", "zfsrep-5", kSource + "@" + oldest});
            ASSERT_TRUE(tb::localZfs({"destroy", kSource + "@" + oldest}).ok());
        }
        tb::writeRandomFile(tb::localPath(kSource) + QString("/new%1.bin").arg(run), kMiB, 100 + run);
        setNow(QTime(11, run, 0));
        TQ2Journals runJournals;
        ASSERT_TRUE(drive->sendPool(runJournals, keeping)) << journalText(runJournals).toStdString();
        const ReplicationResult result = drive->lastReplication();
        EXPECT_EQ(result.kind, "incremental");
        EXPECT_EQ(result.base, previous);
        const qint64 onWire = wire.take();
        EXPECT_GT(onWire, kMiB);
        EXPECT_LE(onWire, kMiB * 12 / 10) << "bytes received on the far end in this run";
        previous = localSnapshotNames(kSource).last();
        EXPECT_EQ(result.target, previous);
    }
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
    EXPECT_EQ(remoteDigest(kTarget + "@" + previous), localDigest(kSource + "@" + previous));
}

// Password logins the testbed's sshd has accepted so far.
int acceptedLogins()
{
    QFile log(qEnvironmentVariable("ZFSREP_TB_DIR") + "/ssh/sshd.log");
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    return log.readAll().count("Accepted password");
}

TEST_F(Replication, EveryRunLogsInOnceForAllItsRemoteCommands)
{
    makeLocalDataset("src", 17);
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        if (run > 0)
            tb::writeRandomFile(tb::localPath(kSource) + QString("/more%1.bin").arg(run), 40000, run);
        setNow(QTime(13, run, 0));
        const int before = acceptedLogins();
        ASSERT_GE(before, 0) << "sshd's log is not readable";
        TQ2Journals runJournals;
        ASSERT_TRUE(drive->sendPool(runJournals, mission(1))) << journalText(runJournals).toStdString();
        // the listings, the size estimate and the stream share one login
        EXPECT_EQ(acceptedLogins() - before, 1);
    }
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
}

TEST_F(Replication, DatasetWithChildrenArrivesWholeAndStaysInStep)
{
    makeLocalDataset("src", 41);
    for (const QString &child : QStringList{"src/a", "src/b", "src/a/grand"}) {
        ASSERT_TRUE(tb::localZfs({"create", "tank/" + child}).ok());
        tb::writeRandomFile(tb::localPath("tank/" + child) + "/file.bin", 50000, qHash(child));
    }
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE(run);
        if (run > 0)
            tb::writeRandomFile(tb::localPath("tank/src/a/grand") + QString("/more%1.bin").arg(run), 60000, run);
        setNow(QTime(12, run, 0));
        TQ2Journals runJournals;
        ASSERT_TRUE(drive->sendPool(runJournals, mission(1))) << journalText(runJournals).toStdString();
        EXPECT_EQ(drive->lastReplication().kind, run == 0 ? "full" : "incremental");
        for (const QString &name : QStringList{"src", "src/a", "src/b", "src/a/grand"})
            EXPECT_EQ(remoteDigest("backup/" + name), localDigest("tank/" + name)) << name.toStdString();
    }
}

TEST_F(Replication, ReplicaIsUnmountedReadOnlyAndCannotBreakTheNextRun)
{
    makeLocalDataset("src", 51);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    EXPECT_EQ(remoteProperty(kTarget, "readonly"), "on");
    EXPECT_EQ(remoteProperty(kTarget, "mounted"), "no");
    EXPECT_NE(remoteProperty(kTarget, "mountpoint"), localProperty(kSource, "mountpoint"));
    // A write on the backup host is refused; a read there changes nothing.
    EXPECT_FALSE(tb::remoteZfs({"sim-write", kTarget, "intruder.txt"}).ok());
    tb::remoteZfs({"sim-read", kTarget, "random.bin"});
    tb::writeRandomFile(tb::localPath(kSource) + "/later.bin", 80000, 52);
    setNow(QTime(10, 30, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendPool(second, mission(1))) << journalText(second).toStdString();
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
}

TEST_F(Replication, CutSendResumesWithTheRestAndAStaleTokenIsDropped)
{
    WireCounter wire;
    ASSERT_TRUE(wire.ok);
    makeLocalDataset("src", 61);
    tb::writeRandomFile(tb::localPath(kSource) + "/big.bin", 6 * kMiB, 62);
    const qint64 stream = 7 * kMiB;
    tb::setLocalFault("send-cut", QByteArray::number(stream * 6 / 10));
    EXPECT_FALSE(drive->sendPool(journals, mission(1)));
    tb::clearFaults();
    EXPECT_NE(remoteProperty(kTarget, "receive_resume_token"), "-") << "the cut receive is resumable";
    wire.take();

    setNow(QTime(10, 40, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendPool(second, mission(1))) << journalText(second).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "resume");
    EXPECT_LT(wire.take(), stream / 2) << "the resumed run sends less than half of the stream again";
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));

    // Cut again, then the snapshot the token names disappears on the source.
    tb::writeRandomFile(tb::localPath(kSource) + "/big2.bin", 4 * kMiB, 63);
    tb::setLocalFault("send-cut", QByteArray::number(2 * kMiB));
    setNow(QTime(10, 50, 0));
    TQ2Journals third;
    EXPECT_FALSE(drive->sendPool(third, mission(1)));
    tb::clearFaults();
    const QString cutSnapshot = localSnapshotNames(kSource).last();
    ASSERT_TRUE(tb::localZfs({"destroy", kSource + "@" + cutSnapshot}).ok());
    setNow(QTime(11, 0, 0));
    TQ2Journals fourth;
    ASSERT_TRUE(drive->sendPool(fourth, mission(1))) << journalText(fourth).toStdString();
    EXPECT_EQ(remoteProperty(kTarget, "receive_resume_token"), "-");
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
}

TEST_F(Replication, CutPullResumesIntoTheStagingDataset)
{
    makeRemoteDataset("pulled");
    writeRemoteFile("backup/pulled", "big.bin", 5 * kMiB, 71);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/pulled@one"}).ok());
    tb::setRemoteFault("send-cut", QByteArray::number(3 * kMiB));
    const QJsonObject pull = mission(2, {{"path", "backup/pulled"}, {"name", "pulled"}});
    EXPECT_FALSE(drive->recvPool(journals, pull));
    tb::clearFaults();
    setNow(QTime(10, 45, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->recvPool(second, pull)) << journalText(second).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "resume");
    EXPECT_EQ(localDigest("tank/pulled"), remoteDigest("backup/pulled"));
    EXPECT_FALSE(tb::localExists("tank/pulled.zfsrep-incoming"));
}

TEST_F(Replication, StalledTransferEndsWithinTheLimitAndTheNextRunWorks)
{
    makeLocalDataset("src", 81);
    engine->settings().stallTimeoutSeconds = 3;
    tb::setRemoteFault("recv-stall", "200000");
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(drive->sendPool(journals, mission(1)));
    EXPECT_LT(timer.elapsed(), 3000 + 15000);
    EXPECT_TRUE(journals.errmsg().startsWith("stalled: no data for 3 s")) << journals.errmsg().toStdString();
    EXPECT_TRUE(drive->lastReplication().stalled);
    tb::clearFaults();
    setNow(QTime(10, 20, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendPool(second, mission(1))) << journalText(second).toStdString();
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
}

TEST_F(Replication, DivergedTargetIsNamedAndNothingIsDestroyed)
{
    makeLocalDataset("src", 91);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    ASSERT_TRUE(tb::remoteZfs({"snapshot", kTarget + "@made-by-hand"}).ok());
    const QStringList remoteBefore = remoteSnapshotNames(kTarget);
    setNow(QTime(10, 30, 0));
    TQ2Journals second;
    EXPECT_FALSE(drive->sendPool(second, mission(1)));
    EXPECT_EQ(second.err(), TQ2Error::ERR_CONFLICT);
    EXPECT_TRUE(second.errmsg().contains("made-by-hand")) << second.errmsg().toStdString();
    EXPECT_EQ(remoteSnapshotNames(kTarget), remoteBefore);
    EXPECT_EQ(localSnapshotNames(kSource).size(), 1) << "the run's own snapshot sent nothing and was removed";
}

TEST_F(Replication, BaseIsHeldWithTheMissionsTagAndOtherHoldsSurviveErase)
{
    makeLocalDataset("src", 93);
    const QJsonObject erasing = mission(1, {{"msnno", 9}, {"erase", 1}});
    ASSERT_TRUE(drive->sendPool(journals, erasing)) << journalText(journals).toStdString();
    const QString first = localSnapshotNames(kSource).last();
    EXPECT_TRUE(holdsOf(kSource + "@" + first).contains("zfsrep-9"));
    ASSERT_TRUE(tb::localZfs({"hold", "keep-for-audit", kSource + "@" + first}).ok());

    setNow(QTime(10, 30, 0));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendPool(second, erasing)) << journalText(second).toStdString();
    const QString later = localSnapshotNames(kSource).last();
    EXPECT_NE(later, first);
    EXPECT_TRUE(localSnapshotNames(kSource).contains(first)) << "held by another tag: kept";
    EXPECT_FALSE(holdsOf(kSource + "@" + first).contains("zfsrep-9")) << "the base moved: its tag released";
    EXPECT_TRUE(holdsOf(kSource + "@" + first).contains("keep-for-audit"));
    EXPECT_TRUE(holdsOf(kSource + "@" + later).contains("zfsrep-9"));
    EXPECT_TRUE(hasSegment(second, "keep", "held by keep-for-audit"));
}

} // namespace
