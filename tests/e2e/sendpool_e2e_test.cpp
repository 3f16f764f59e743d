// Send missions on the testbed: a new snapshot of a local file system
// replicated over the real sshd into the remote pool, checked file by file
// at both ends, with the event-log record and the journal of each run.
#include "tbharness.h"
#include "tq2error.h"
#include "transferfixture.h"

#include <QJsonDocument>

namespace {

using SendPool = TransferE2e;

const QString kSource = "tank/src";
const QString kTarget = "backup/src";

QString remoteGuid(const QString &snapshot)
{
    return QString::fromUtf8(tb::remoteZfs({"get", "-H", "-o", "value", "guid", snapshot}).out).trimmed();
}

TEST_F(SendPool, FirstRunFullThenIncrementalLaterRunsIncrementalAndEraseKeepsOtherSeries)
{
    makeLocalDataset("src", 11);
    // An older snapshot of the mission's series, one of another series and
    // one whose series merely starts with the same letters.
    ASSERT_TRUE(tb::localZfs({"snapshot", kSource + "@ZFSREP_20000101000000"}).ok());
    const auto oldDigest = localDigest(kSource + "@ZFSREP_20000101000000");
    tb::writeRandomFile(tb::localPath(kSource) + "/second.bin", 200000, 12);
    ASSERT_TRUE(tb::localZfs({"snapshot", kSource + "@weekly_1"}).ok());
    ASSERT_TRUE(tb::localZfs({"snapshot", kSource + "@ZFSREPX_1"}).ok());

    const QJsonObject erasing = mission(1, {{"erase", 1}});
    setNow(QTime(10, 15, 20));
    ASSERT_TRUE(drive->sendPool(journals, erasing)) << journalText(journals).toStdString();

    const QString first = "ZFSREP_20240304101520";
    // The full stream brought the oldest snapshot, the incremental one the rest.
    EXPECT_EQ(remoteSnapshotNames(kTarget), (QStringList{"ZFSREP_20000101000000", "weekly_1", "ZFSREPX_1", first}));
    EXPECT_EQ(remoteDigest(kTarget + "@ZFSREP_20000101000000"), oldDigest);
    EXPECT_EQ(remoteDigest(kTarget + "@" + first), localDigest(kSource + "@" + first));
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
    EXPECT_TRUE(remoteDigest(kTarget).contains("second.bin"));
    // Erase: only the older snapshot of the series went, locally only.
    EXPECT_EQ(localSnapshotNames(kSource), (QStringList{"weekly_1", "ZFSREPX_1", first}));
    const QString firstGuid = remoteGuid(kTarget + "@" + first);
    ASSERT_FALSE(firstGuid.isEmpty());

    // New data between the runs arrives with the second run.
    tb::writeRandomFile(tb::localPath(kSource) + "/third.bin", 300000, 13);
    TQ2Journals second;
    setNow(QTime(10, 20, 0));
    ASSERT_TRUE(drive->sendPool(second, erasing)) << journalText(second).toStdString();
    const QString later = "ZFSREP_20240304102000";
    EXPECT_EQ(remoteSnapshotNames(kTarget),
              (QStringList{"ZFSREP_20000101000000", "weekly_1", "ZFSREPX_1", first, later}));
    EXPECT_EQ(remoteGuid(kTarget + "@" + first), firstGuid) << "an incremental run keeps what the remote has";
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
    EXPECT_TRUE(remoteDigest(kTarget).contains("third.bin"));
    EXPECT_EQ(remoteDigest(kTarget + "@" + later), localDigest(kSource + "@" + later));
    EXPECT_EQ(localSnapshotNames(kSource), (QStringList{"weekly_1", "ZFSREPX_1", later}));
    // A full stream onto the remote copy would have failed and been
    // journalled even though the incremental one then succeeded.
    for (const QJsonValue &value : second.segments())
        EXPECT_TRUE(value.toObject().value("success").toBool()) << journalText(second).toStdString();

    const QJsonArray records = events();
    ASSERT_EQ(records.size(), 2);
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        EXPECT_EQ(record.value("level").toString(), "Information");
        EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_SENDPOOL: tank/src SEND backup");
        EXPECT_EQ(record.value("application").toString(), "zfsrep");
        EXPECT_EQ(record.value("module").toString(), "SYSTEM");
        EXPECT_EQ(record.value("action").toInt(), 1);
        EXPECT_EQ(record.value("from").toString(), kSource);
        EXPECT_EQ(record.value("to").toString(), QString("%1:%2/backup").arg(tb::host()).arg(tb::port()));
        EXPECT_EQ(record.value("caption").toString(), "E2E mission");
        EXPECT_EQ(record.value("result").toInt(), 1);
    }
}

TEST_F(SendPool, DivergedRemoteIsRefusedBeforeAnyStreamAndErasesNothing)
{
    makeLocalDataset("src", 21);
    const QJsonObject erasing = mission(1, {{"erase", 1}});
    ASSERT_TRUE(drive->sendPool(journals, erasing)) << journalText(journals).toStdString();
    const QString first = "ZFSREP_20240304101520";
    ASSERT_EQ(remoteSnapshotNames(kTarget), QStringList{first});

    writeRemoteFile(kTarget, "foreign.txt", 1000, 22);
    const auto diverged = remoteDigest(kTarget);
    TQ2Journals failed;
    setNow(QTime(11, 0, 0));
    EXPECT_FALSE(drive->sendPool(failed, erasing));
    // Data written to the replica after its newest snapshot: the planner
    // refuses before the receive would.
    EXPECT_EQ(failed.err(), TQ2Error::ERR_CONFLICT);
    EXPECT_TRUE(failed.errmsg().contains("the target was changed after its newest snapshot " + first))
        << failed.errmsg().toStdString();
    EXPECT_TRUE(hasSegment(failed, "plan", "bytes written")) << journalText(failed).toStdString();
    EXPECT_EQ(drive->lastReplication().bytes, 0);
    EXPECT_FALSE(journalText(failed).contains(tb::password().toUtf8()));

    EXPECT_EQ(remoteSnapshotNames(kTarget), QStringList{first});
    EXPECT_EQ(remoteDigest(kTarget), diverged) << "the remote copy is left as it was";
    EXPECT_EQ(localSnapshotNames(kSource), QStringList{first})
        << "nothing is erased after a failed send; the new snapshot, which the target (listed again) does not "
           "hold, does not pile up";

    const QJsonObject record = events().at(0).toObject();
    EXPECT_EQ(record.value("level").toString(), "Error");
    EXPECT_EQ(record.value("result").toInt(), 0);
    EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_SENDPOOL: tank/src SEND backup");
}

TEST_F(SendPool, WrongPasswordAndMissingRemotePoolFailWithoutAnyRemoteChange)
{
    makeLocalDataset("src", 31);
    const QString wrong = "Wrong-" + tb::password();
    struct Case {
        const char *label;
        QJsonObject overrides;
        QString message;   // in the journal's message
        QString remote;    // the dataset that must not appear
        QString to;        // the record's "to" path part
        QString action;    // the step that failed: listing the target, or the check of its parent
        int err;
    } cases[] = {
        {"wrong password", {{"passwd", wrong}}, "Permission denied", kTarget, "backup", "receive_resume_token",
         TQ2Error::ERR_EXECUTE},
        {"missing pool", {{"path", "nopool"}}, "nopool", "nopool/src", "nopool", "check", TQ2Error::ERR_NOT_EXISTS},
    };
    int minute = 30;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        TQ2Journals failed;
        setNow(QTime(10, minute++, 0));
        EXPECT_FALSE(drive->sendPool(failed, mission(1, c.overrides)));
        EXPECT_EQ(failed.err(), c.err);
        EXPECT_TRUE(failed.errmsg().contains(c.message)) << failed.errmsg().toStdString();
        EXPECT_TRUE(localSnapshotNames(kSource).isEmpty()) << "nothing was snapshotted";
        EXPECT_TRUE(hasSegment(failed, c.action, c.message)) << journalText(failed).toStdString();
        EXPECT_FALSE(journalText(failed).contains(wrong.toUtf8()));
        EXPECT_FALSE(journalText(failed).contains(tb::password().toUtf8()));
        EXPECT_FALSE(tb::remoteExists(c.remote));

        const QJsonObject record = events().at(0).toObject();
        EXPECT_EQ(record.value("level").toString(), "Error");
        EXPECT_EQ(record.value("result").toInt(), 0);
        EXPECT_EQ(record.value("to").toString(), QString("%1:%2/%3").arg(tb::host()).arg(tb::port()).arg(c.to));
        EXPECT_FALSE(QJsonDocument(record).toJson().contains(wrong.toUtf8()));
    }
    EXPECT_EQ(events().size(), 2);
    EXPECT_EQ(tb::remoteZfs({"list", "-H", "-o", "name", "-r", "backup"}).out, "backup\n");
}

TEST_F(SendPool, FailedRunsLeaveNoSnapshotBehindAndTheChainGoesOnWhenTheHostIsBack)
{
    makeLocalDataset("src", 41);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    const QStringList afterFirst = localSnapshotNames(kSource);
    ASSERT_EQ(afterFirst.size(), 1);
    struct Case {
        const char *label;
        QJsonObject overrides;
        QString message;
    } cases[] = {
        // Nothing listens on port 1 of the loopback address.
        {"unreachable host", {{"port", "1"}}, "onnection refused"},
        {"wrong password", {{"passwd", "Wrong-" + tb::password()}}, "Permission denied"},
        {"missing remote parent", {{"path", "backup/nowhere"}},
         QString("on %1 as %2: cannot receive into backup/nowhere/").arg(tb::host(), tb::user())},
    };
    int minute = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        for (int run = 0; run < 10; ++run) {
            setNow(QTime(11, minute++, 0));
            TQ2Journals failed;
            EXPECT_FALSE(drive->sendPool(failed, mission(1, c.overrides)));
            EXPECT_TRUE(failed.errmsg().contains(c.message)) << failed.errmsg().toStdString();
        }
        EXPECT_EQ(localSnapshotNames(kSource), afterFirst) << "no run left a snapshot";
    }
    tb::writeRandomFile(tb::localPath(kSource) + "/more.bin", 200000, 42);
    setNow(QTime(12, 0, 0));
    TQ2Journals back;
    ASSERT_TRUE(drive->sendPool(back, mission(1))) << journalText(back).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "incremental");
    EXPECT_EQ(localDigest(kSource), remoteDigest(kTarget));
}

TEST_F(SendPool, NamesWithSpacesTravelBothWaysAsOneWord)
{
    makeLocalDataset("my data", 41);
    ASSERT_TRUE(drive->sendPool(journals, mission(1, {{"name", "my data"}}))) << journalText(journals).toStdString();
    EXPECT_EQ(remoteSnapshotNames("backup/my data"), QStringList{"ZFSREP_20240304101520"});
    EXPECT_EQ(remoteDigest("backup/my data"), localDigest("tank/my data"));
    EXPECT_FALSE(tb::remoteExists("backup/my"));

    TQ2Journals pulled;
    ASSERT_TRUE(drive->recvPool(pulled, mission(2, {{"name", "my copy"}, {"path", "backup/my data@ZFSREP_20240304101520"}})))
        << journalText(pulled).toStdString();
    EXPECT_EQ(localDigest("tank/my copy"), localDigest("tank/my data"));
    EXPECT_EQ(localProperty("tank/my copy", "mountpoint"), "/mnt/tank/my copy");
}

} // namespace
