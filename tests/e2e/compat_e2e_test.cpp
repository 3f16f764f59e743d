// The service with the tools of OpenZFS 2.1/2.2 (Debian 12, Ubuntu 22.04 and
// 24.04), which have no -j: the simulator plays 2.2.7 and the RPC listings
// answer as they do with 2.3, pulls and restores move their data.
#include "service.h"
#include "tbharness.h"
#include "transferfixture.h"

#include <QJsonDocument>

#include <csignal>

namespace {

// The real service and zfsrepctl: zfsrep_alload and zfsrep_snapshot with the
// local tools at 2.3, at 2.2 while the same service runs (it learnt -j at
// 2.3), and at 2.2 in a fresh service that never saw -j work.
class OldToolsRpc : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        tb::clearFaults();
        Service::resetState();
        ASSERT_TRUE(tb::localZfs({"create", "-p", "tank/data/my sub/deeper"}).ok());
        tb::writeRandomFile(tb::localPath("tank/data/my sub") + "/blob.bin", 200000, 7);
        ASSERT_TRUE(tb::localZfs({"snapshot", "-r", "tank/data@first one"}).ok());
        tb::writeRandomFile(tb::localPath("tank/data/my sub") + "/blob.bin", 300000, 8);
        ASSERT_TRUE(tb::localZfs({"snapshot", "-r", "tank/data@second"}).ok());
    }
    void TearDown() override
    {
        if (!tb::inTestbed())
            return;
        tb::clearFaults();
        tb::localZfs({"destroy", "-r", "tank/data/my sub"});
        tb::localZfs({"destroy", "-r", "tank/data@first one"});
        tb::localZfs({"destroy", "-r", "tank/data@second"});
    }

    struct Answers {
        QJsonObject pools;
        QJsonObject snapshots;
    };
    Answers ask()
    {
        const Service::Call pools = service.ctl("zfsrep_alload");
        const Service::Call snapshots = service.ctl("zfsrep_snapshot");
        EXPECT_EQ(pools.exitCode, 0) << QJsonDocument(pools.response).toJson().constData();
        EXPECT_EQ(snapshots.exitCode, 0) << QJsonDocument(snapshots.response).toJson().constData();
        return {pools.response, snapshots.response};
    }
    void startService()
    {
        service.start(QJsonObject{{"lpcid", service.socket()}, {"debugging", "no"}});
        ASSERT_TRUE(service.waitUntilServing()) << service.output().constData();
    }

    Service service;
};

TEST_F(OldToolsRpc, ListingsAnswerAsWithJson)
{
    startService();
    const Answers modern = ask();
    const QJsonObject items =
        modern.pools.value("results").toObject().value("tank").toObject().value("items").toObject();
    ASSERT_TRUE(items.contains("data/my sub/deeper")) << QJsonDocument(modern.pools).toJson().constData();
    EXPECT_EQ(modern.snapshots.value("results").toObject().value("snapshots").toArray().size(), 6);

    tb::setLocalFault("version", "2.2.7");
    ASSERT_EQ(tb::localZfs({"list", "-pj"}).exitCode, 2) << "the simulator refuses -j";
    const Answers learnt = ask();
    EXPECT_EQ(learnt.pools, modern.pools);
    EXPECT_EQ(learnt.snapshots, modern.snapshots);
    EXPECT_EQ(service.stop(SIGTERM), 0);

    startService();
    const Answers fresh = ask();
    EXPECT_EQ(fresh.pools, modern.pools);
    EXPECT_EQ(fresh.snapshots, modern.snapshots);
    EXPECT_EQ(service.stop(SIGTERM), 0);
}

// Pull and restore missions with both hosts at OpenZFS 2.2: before the data
// moves, they list the local pools (the pool map of zfsrep_alload).
class OldToolsTransfers : public TransferE2e
{
protected:
    void SetUp() override
    {
        TransferE2e::SetUp();
        if (HasFatalFailure())
            return;
        tb::setLocalFault("version", "2.2.7");
        tb::setRemoteFault("version", "2.2.7");
    }
};

TEST_F(OldToolsTransfers, PullMovesTheRemoteDataset)
{
    makeRemoteDataset("src");
    writeRemoteFile("backup/src", "a.bin", 400000, 11);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s1"}).ok());
    writeRemoteFile("backup/src", "b.bin", 300000, 12);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s2"}).ok());

    TQ2Journals pulled;
    ASSERT_TRUE(drive->recvPool(pulled, mission(2, {{"caption", "Pull"}, {"name", "pulled"}, {"path", "backup/src"}})))
        << journalText(pulled).toStdString();
    EXPECT_EQ(localSnapshotNames("tank/pulled"), (QStringList{"s1", "s2"}));
    EXPECT_EQ(localDigest("tank/pulled"), remoteDigest("backup/src@s2"));
    EXPECT_EQ(localDigest("tank/pulled@s1"), remoteDigest("backup/src@s1"));
    EXPECT_EQ(events().at(0).toObject().value("result").toInt(), 1);
}

TEST_F(OldToolsTransfers, ExportThenRestore)
{
    makeLocalDataset("trip", 21);
    const QMap<QString, QByteArray> original = localDigest("tank/trip");
    const QString dir = scratch + "/export";
    ASSERT_TRUE(drive->sendFile(journals, mission(3, {{"caption", "Export"}, {"name", "trip"}, {"path", dir}})))
        << journalText(journals).toStdString();
    const QString file = dir + "/tank/trip@ZFSREP_20240304101520.gz.zsa";

    TQ2Journals restored;
    ASSERT_TRUE(drive->recvFile(restored, mission(4, {{"caption", "Restore"}, {"name", "copy"}, {"path", file}})))
        << journalText(restored).toStdString();
    EXPECT_EQ(localDigest("tank/copy"), original);
    EXPECT_EQ(localSnapshotNames("tank/copy"), QStringList{"ZFSREP_20240304101520"});
    EXPECT_EQ(events().at(0).toObject().value("result").toInt(), 1);
}

} // namespace
