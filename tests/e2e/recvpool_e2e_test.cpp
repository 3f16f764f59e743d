// Receive missions on the testbed: a remote file system (all of it, or up to
// a named snapshot) pulled over the real sshd into the local pool, replacing
// a local dataset of the same name only once the pull succeeded.
#include "tbharness.h"
#include "tq2error.h"
#include "transferfixture.h"

namespace {

class RecvPool : public TransferE2e
{
protected:
    // backup/src with the snapshots s1, s2, s3, each with different files:
    // s1 holds a.bin; s2 adds the larger b.bin; s3 rewrites a.bin.
    void SetUp() override
    {
        TransferE2e::SetUp();
        if (HasFatalFailure())
            return;
        makeRemoteDataset("src");
        writeRemoteFile("backup/src", "a.bin", 100000, 1);
        ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s1"}).ok());
        writeRemoteFile("backup/src", "b.bin", 1500000, 2);
        ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s2"}).ok());
        writeRemoteFile("backup/src", "a.bin", 100000, 3);
        ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s3"}).ok());
    }

    QJsonObject pull(const QString &name, const QString &path)
    {
        return mission(2, {{"caption", "Pull " + name}, {"name", name}, {"path", path}});
    }

    // The event record of a receive into tank/<name> from `path`.
    void expectRecord(const QJsonObject &record, bool ok, const QString &name, const QString &path)
    {
        EXPECT_EQ(record.value("level").toString(), ok ? "Information" : "Error");
        EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_RECVPOOL: tank/" + name + " RECV " + path);
        EXPECT_EQ(record.value("action").toInt(), 2);
        EXPECT_EQ(record.value("from").toString(), QString("%1:%2/%3").arg(tb::host()).arg(tb::port()).arg(path));
        EXPECT_EQ(record.value("to").toString(), "tank/" + name);
        EXPECT_EQ(record.value("caption").toString(), "Pull " + name);
        EXPECT_EQ(record.value("result").toInt(), ok ? 1 : 0);
    }
};

TEST_F(RecvPool, WholeDatasetOrUpToANamedSnapshot)
{
    struct Case {
        const char *name;
        const char *path;
        QStringList snapshots;
    } cases[] = {
        {"whole", "backup/src", {"s1", "s2", "s3"}},
        {"upto", "backup/src@s2", {"s1", "s2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString local = QString("tank/") + c.name;
        TQ2Journals pulled;
        ASSERT_TRUE(drive->recvPool(pulled, pull(c.name, c.path))) << journalText(pulled).toStdString();
        EXPECT_EQ(localSnapshotNames(local), c.snapshots);
        for (const QString &snapshot : c.snapshots)
            EXPECT_EQ(localDigest(local + "@" + snapshot), remoteDigest("backup/src@" + snapshot)) << snapshot.toStdString();
        EXPECT_EQ(localDigest(local), remoteDigest("backup/src@" + c.snapshots.last()));
        EXPECT_EQ(localProperty(local, "mountpoint"), "/mnt/" + local);
        EXPECT_FALSE(tb::localExists(local + ".zfsrep-incoming"));
        EXPECT_FALSE(journalText(pulled).contains(tb::password().toUtf8()));
        expectRecord(events().at(0).toObject(), true, c.name, c.path);
    }
    EXPECT_NE(localDigest("tank/whole"), localDigest("tank/upto")) << "s3 rewrote a.bin; the bounded pull stops before";
    EXPECT_EQ(remoteSnapshotNames("backup/src"), (QStringList{"s1", "s2", "s3"})) << "the remote side is only read";
}

TEST_F(RecvPool, ExistingLocalDatasetIsReplacedOnlyWhenNoOtherToolHoldsItAndAStaleIncomingOneGoes)
{
    makeLocalDataset("victim", 41);
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/victim@old"}).ok());
    ASSERT_TRUE(tb::localZfs({"hold", "keep", "tank/victim@old"}).ok());
    const auto before = localDigest("tank/victim");
    ASSERT_NE(before, remoteDigest("backup/src"));
    // What an interrupted earlier pull left behind is cleared first.
    ASSERT_TRUE(tb::localZfs({"create", "tank/victim.zfsrep-incoming"}).ok());
    tb::writeRandomFile(tb::localPath("tank/victim.zfsrep-incoming") + "/stale.bin", 1000, 42);

    // Another tool's hold stops the replacement: nothing of it is released,
    // the old data stays, and the received tree waits for the next run.
    EXPECT_FALSE(drive->recvPool(journals, pull("victim", "backup/src")));
    EXPECT_TRUE(journals.errmsg().contains("tank/victim@old") && journals.errmsg().contains("keep"))
        << journals.errmsg().toStdString();
    EXPECT_EQ(localDigest("tank/victim"), before);
    EXPECT_TRUE(tb::localZfs({"holds", "-H", "tank/victim@old"}).out.contains("keep"));
    EXPECT_TRUE(tb::localExists("tank/victim.zfsrep-incoming"));
    expectRecord(events().at(0).toObject(), false, "victim", "backup/src");

    // Once that tool lets go, the next run replaces without a transfer.
    ASSERT_TRUE(tb::localZfs({"release", "keep", "tank/victim@old"}).ok());
    TQ2Journals next;
    ASSERT_TRUE(drive->recvPool(next, pull("victim", "backup/src"))) << journalText(next).toStdString();
    EXPECT_EQ(drive->lastReplication().bytes, 0);
    EXPECT_EQ(localDigest("tank/victim"), remoteDigest("backup/src"));
    EXPECT_EQ(localSnapshotNames("tank/victim"), (QStringList{"s1", "s2", "s3"}));
    EXPECT_EQ(localProperty("tank/victim", "mountpoint"), "/mnt/tank/victim");
    EXPECT_FALSE(tb::localExists("tank/victim.zfsrep-incoming"));
    expectRecord(events().at(0).toObject(), true, "victim", "backup/src");
}

TEST_F(RecvPool, FailedPullLeavesTheOldDatasetIntact)
{
    makeLocalDataset("victim", 51);
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/victim@old"}).ok());
    const auto before = localDigest("tank/victim");
    ASSERT_FALSE(before.isEmpty());

    struct Case {
        const char *label;
        bool remote;
        const char *knob;
        QByteArray content;
        QString message;
    } cases[] = {
        // s1's full stream is about 100 kB, the incremental one to s3 about 1.7 MB.
        {"full stream cut", true, "send-cut", "20000", "Input/output error"},
        {"incremental stream cut", true, "send-cut", "600000", "Input/output error"},
        {"local receive fails", false, "fail-next-recv", "cannot receive new filesystem stream: out of space",
         "out of space"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.remote)
            tb::setRemoteFault(c.knob, c.content);
        else
            tb::setLocalFault(c.knob, c.content);
        TQ2Journals failed;
        EXPECT_FALSE(drive->recvPool(failed, pull("victim", "backup/src")));
        tb::clearFaults();
        EXPECT_EQ(failed.err(), TQ2Error::ERR_EXECUTE);
        EXPECT_TRUE(failed.errmsg().contains(c.message)) << failed.errmsg().toStdString();
        EXPECT_TRUE(hasSegment(failed, "zfs recv -s -u", c.message)) << journalText(failed).toStdString();
        EXPECT_FALSE(journalText(failed).contains(tb::password().toUtf8()));

        EXPECT_EQ(localDigest("tank/victim"), before);
        EXPECT_EQ(localSnapshotNames("tank/victim"), QStringList{"old"});
        // What a cut pull received stays in the staging dataset for the
        // next run to resume; anything else there is gone.
        if (tb::localExists("tank/victim.zfsrep-incoming")) {
            EXPECT_NE(localProperty("tank/victim.zfsrep-incoming", "receive_resume_token"), "-");
        }
        expectRecord(events().at(0).toObject(), false, "victim", "backup/src");
    }

    TQ2Journals missing;
    EXPECT_FALSE(drive->recvPool(missing, mission(2, {{"pool", "nopool"}, {"path", "backup/src"}})));
    EXPECT_EQ(missing.err(), TQ2Error::ERR_NOT_EXISTS);
    EXPECT_EQ(missing.errmsg(), "需要恢复的pool不存在: nopool");
    EXPECT_EQ(events().at(0).toObject().value("level").toString(), "Error");
    EXPECT_EQ(events().size(), 4);
}

// The old dataset is moved aside, not destroyed, until the received one has
// its name: a rename that fails keeps the old data.
TEST_F(RecvPool, FailedRenameIntoPlaceKeepsTheOldDataset)
{
    makeLocalDataset("victim", 91);
    const auto before = localDigest("tank/victim");
    tb::setLocalFault("fail-next-rename", "cannot rename 'tank/victim': simulated failure");
    EXPECT_FALSE(drive->recvPool(journals, pull("victim", "backup/src")));
    EXPECT_EQ(localDigest("tank/victim"), before);
    EXPECT_TRUE(journals.errmsg().contains("simulated failure")) << journalText(journals).toStdString();
    EXPECT_TRUE(tb::localExists("tank/victim.zfsrep-incoming")) << "the complete received tree waits";
    expectRecord(events().at(0).toObject(), false, "victim", "backup/src");

    // The next run has nothing more to transfer: it puts the waiting tree in
    // place.
    TQ2Journals next;
    ASSERT_TRUE(drive->recvPool(next, pull("victim", "backup/src"))) << journalText(next).toStdString();
    EXPECT_EQ(drive->lastReplication().bytes, 0);
    EXPECT_EQ(localDigest("tank/victim"), remoteDigest("backup/src"));
    EXPECT_FALSE(tb::localExists("tank/victim.zfsrep-incoming"));
}

} // namespace
