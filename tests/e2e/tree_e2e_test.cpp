// Whole dataset trees on the testbed: a stream cut anywhere in a tree (the
// top, a child, the grandchild; full and incremental) is completed by the
// next run and no run reports success before every dataset holds the data;
// a pull never leaves the local tree without a child it had; erase takes
// only the series' own names; another tool's holds stop a replacement;
// replicas stay quiet, pulled trees are writable; encrypted trees stay
// encrypted. Data is compared by digest at both ends.
#include "tbharness.h"
#include "treefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

TEST_F(Trees, ASendCutAnywhereInTheTreeIsCompletedByTheNextRun)
{
    makeLocalTree(101);
    ASSERT_TRUE(tb::localZfs({"snapshot", "-r", kSource + "@probe"}).ok());
    const qint64 full = streamSize({"-w", "-R", kSource + "@probe"});
    ASSERT_TRUE(tb::localZfs({"destroy", "-r", kSource + "@probe"}).ok());
    ASSERT_GT(full, 1000000);
    // Five cuts of the full stream (from the top's data to the grandchild's),
    // five of incremental ones.
    const QList<double> fractions{0.1, 0.3, 0.5, 0.7, 0.9};
    for (int pass = 0; pass < 2; ++pass) {
        for (double fraction : fractions) {
            SCOPED_TRACE((pass == 0 ? "full stream cut at " : "incremental stream cut at ") + std::to_string(fraction));
            if (pass == 0)
                tb::remoteZfs({"destroy", "-r", kTarget});
            else
                changeLocalTree(quint32(200 + fraction * 100));
            const qint64 size = pass == 0 ? full : 4 * 300000;
            tb::setLocalFault("send-cut", QByteArray::number(qint64(size * fraction)));
            setNow(nextTime());
            TQ2Journals cut;
            EXPECT_FALSE(drive->sendPool(cut, mission(1))) << "no success before the whole tree arrived";
            tb::clearFaults();
            setNow(nextTime());
            TQ2Journals completing;
            ASSERT_TRUE(drive->sendPool(completing, mission(1))) << journalText(completing).toStdString();
            EXPECT_TRUE(sameTree(kSource, kTarget));
        }
        if (pass == 0) { // the incremental passes start from a complete replica
            ASSERT_TRUE(sameTree(kSource, kTarget));
        }
    }
}

TEST_F(Trees, APullCutAnywhereNeverLeavesTheLocalTreeWithoutAChild)
{
    makeLocalTree(301);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    const QJsonObject pull = mission(2, {{"caption", "Pull"}, {"name", "back"}, {"path", kTarget}});
    TQ2Journals first;
    ASSERT_TRUE(drive->recvPool(first, pull)) << journalText(first).toStdString();
    ASSERT_TRUE(sameTree("tank/back", kTarget));
    const qint64 full = drive->lastReplication().bytes;
    ASSERT_GT(full, 1000000);
    for (double fraction : {0.15, 0.4, 0.6, 0.8, 0.95}) {
        SCOPED_TRACE("pull cut at " + std::to_string(fraction));
        changeLocalTree(quint32(400 + fraction * 100));
        setNow(nextTime());
        TQ2Journals sent;
        ASSERT_TRUE(drive->sendPool(sent, mission(1))) << journalText(sent).toStdString();
        tb::setRemoteFault("send-cut", QByteArray::number(qint64(full * fraction)));
        TQ2Journals cut;
        EXPECT_FALSE(drive->recvPool(cut, pull)) << "no success before the whole tree arrived";
        tb::clearFaults();
        for (const QString &child : kBelow)
            EXPECT_TRUE(tb::localExists("tank/back/" + child)) << "the old tree keeps " << child.toStdString();
        TQ2Journals completing;
        ASSERT_TRUE(drive->recvPool(completing, pull)) << journalText(completing).toStdString();
        EXPECT_TRUE(sameTree("tank/back", kTarget));
        EXPECT_FALSE(tb::localExists("tank/back.zfsrep-incoming"));
    }
}

TEST_F(Trees, EraseTakesOnlyTheSeriesOwnNames)
{
    makeLocalTree(501);
    for (const char *name : {"ZFSREP_before_upgrade", "ZFSREP_offsite_20240101000000", "ZFSREP_20240101000000"})
        ASSERT_TRUE(tb::localZfs({"snapshot", "-r", kSource + "@" + QString(name)}).ok());
    const QJsonObject erasing = mission(1, {{"erase", 1}, {"msnno", 5}});
    for (int run = 0; run < 2; ++run) {
        setNow(nextTime());
        TQ2Journals sent;
        ASSERT_TRUE(drive->sendPool(sent, erasing)) << journalText(sent).toStdString();
    }
    const QStringList kept = localSnapshotNames(kSource);
    EXPECT_TRUE(kept.contains("ZFSREP_before_upgrade")) << "a user's snapshot";
    EXPECT_TRUE(kept.contains("ZFSREP_offsite_20240101000000")) << "another mission's series";
    EXPECT_FALSE(kept.contains("ZFSREP_20240101000000")) << "the series' own older snapshot";
    for (const QString &child : kBelow)
        EXPECT_TRUE(localSnapshotNames(kSource + "/" + child).contains("ZFSREP_before_upgrade"));
}

TEST_F(Trees, ACancelAtAnyMomentNeverDestroysWhatTheTargetHolds)
{
    makeLocalTree(601);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    for (int delayMs : {50, 300, 800, 1500, 2500}) {
        SCOPED_TRACE("cancel after " + std::to_string(delayMs) + " ms");
        changeLocalTree(quint32(700 + delayMs));
        tb::setLocalFault("send-rate", "1M");
        std::thread canceller;
        drive->onStart = [&](const std::shared_ptr<::Run> &run) {
            canceller = std::thread([run, delayMs] {
                QThread::msleep(static_cast<unsigned long>(delayMs));
                run->cancel(CancelToken::Operator);
            });
        };
        setNow(nextTime());
        TQ2Journals cancelled;
        drive->sendPool(cancelled, mission(1));
        canceller.join();
        drive->onStart = nullptr;
        tb::clearFaults();
        const QStringList local = localSnapshotNames(kSource);
        for (const QString &held : remoteSnapshotNames(kTarget))
            EXPECT_TRUE(local.contains(held)) << "the target holds " << held.toStdString();
        setNow(nextTime());
        TQ2Journals next;
        ASSERT_TRUE(drive->sendPool(next, mission(1))) << journalText(next).toStdString();
        EXPECT_TRUE(sameTree(kSource, kTarget));
    }
}

TEST_F(Trees, ReplicasStayQuietAndAPulledTreeIsWritableWithItsOwnMountPoints)
{
    makeLocalTree(801);
    ASSERT_TRUE(tb::localZfs({"set", "sharenfs=on", kSource}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "sharesmb=on", kSource + "/c1"}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "setuid=on", kSource}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "devices=on", kSource + "/c1/g"}).ok());
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    for (const QString &below : QStringList{QString()} + kBelow) {
        const QString replica = below.isEmpty() ? kTarget : kTarget + "/" + below;
        SCOPED_TRACE(replica.toStdString());
        EXPECT_EQ(remoteProperty(replica, "mountpoint"), "none") << "not mounted at the backup host's next boot";
        EXPECT_EQ(remoteProperty(replica, "sharenfs"), "off");
        EXPECT_EQ(remoteProperty(replica, "sharesmb"), "off");
        EXPECT_EQ(remoteProperty(replica, "readonly"), "on");
    }

    const QJsonObject pull = mission(2, {{"caption", "Pull"}, {"name", "back"}, {"path", kTarget}});
    TQ2Journals pulled;
    ASSERT_TRUE(drive->recvPool(pulled, pull)) << journalText(pulled).toStdString();
    EXPECT_TRUE(sameTree("tank/back", kTarget));
    for (const QString &below : QStringList{QString()} + kBelow) {
        const QString dataset = below.isEmpty() ? QString("tank/back") : "tank/back/" + below;
        SCOPED_TRACE(dataset.toStdString());
        EXPECT_EQ(localProperty(dataset, "readonly"), "off") << "a pulled tree is writable";
        EXPECT_EQ(localProperty(dataset, "mountpoint"), "/mnt/" + dataset) << "under /mnt, not the source's";
        EXPECT_EQ(localProperty(dataset, "sharenfs"), "off");
        EXPECT_EQ(localProperty(dataset, "sharesmb"), "off");
        EXPECT_EQ(localProperty(dataset, "setuid"), "off") << "no set-uid programs from elsewhere";
        EXPECT_EQ(localProperty(dataset, "devices"), "off") << "no device nodes from elsewhere";
    }
}

TEST_F(Trees, ARestoredTreeMountsUnderMntUnsharedWithoutSetuidOrDevices)
{
    // A stream whose child would mount over a system directory and whose
    // top shares itself to everyone.
    makeLocalTree(811);
    const QString planted = scratch + "/planted-over";
    ASSERT_TRUE(tb::localZfs({"set", "mountpoint=" + planted, kSource + "/c1"}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "sharenfs=rw=*", kSource}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "sharesmb=on", kSource}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "setuid=on", kSource}).ok());
    ASSERT_TRUE(tb::localZfs({"set", "devices=on", kSource + "/c2"}).ok());
    const QString exportDir = scratch + "/exports";
    ASSERT_TRUE(QDir().mkpath(exportDir));
    TQ2Journals exported;
    ASSERT_TRUE(drive->sendFile(exported, mission(3, {{"caption", "Export"}, {"name", "src"}, {"path", exportDir}})))
        << journalText(exported).toStdString();
    const QString file = exportDir + "/tank/src@" + localSnapshotNames(kSource).last() + ".gz.zsa";
    ASSERT_TRUE(QFile::exists(file)) << file.toStdString();

    TQ2Journals restored;
    ASSERT_TRUE(drive->recvFile(restored, mission(4, {{"caption", "Restore"}, {"name", "restored"}, {"path", file}})))
        << journalText(restored).toStdString();
    EXPECT_TRUE(sameTree(kSource, "tank/restored", false));
    for (const QString &below : QStringList{QString()} + kBelow) {
        const QString dataset = below.isEmpty() ? QString("tank/restored") : "tank/restored/" + below;
        SCOPED_TRACE(dataset.toStdString());
        EXPECT_EQ(localProperty(dataset, "mountpoint"), "/mnt/" + dataset) << "under /mnt, not the stream's";
        EXPECT_EQ(localProperty(dataset, "sharenfs"), "off");
        EXPECT_EQ(localProperty(dataset, "sharesmb"), "off");
        EXPECT_EQ(localProperty(dataset, "setuid"), "off");
        EXPECT_EQ(localProperty(dataset, "devices"), "off");
    }
}

TEST_F(Trees, ABusyOldDatasetKeepsTheReceivedTreeForTheNextRun)
{
    makeLocalTree(901);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    const QJsonObject pull = mission(2, {{"caption", "Pull"}, {"name", "busy"}, {"path", kTarget}});
    TQ2Journals first;
    ASSERT_TRUE(drive->recvPool(first, pull)) << journalText(first).toStdString();
    changeLocalTree(902);
    setNow(nextTime());
    TQ2Journals sent;
    ASSERT_TRUE(drive->sendPool(sent, mission(1))) << journalText(sent).toStdString();

    tb::setLocalFault("busy", "tank/busy\n");
    TQ2Journals busy;
    const bool replaced = drive->recvPool(busy, pull);
    tb::clearFaults();
    if (!replaced) {
        EXPECT_TRUE(tb::localExists("tank/busy.zfsrep-incoming")) << "the received tree waits";
        TQ2Journals next;
        ASSERT_TRUE(drive->recvPool(next, pull)) << journalText(next).toStdString();
        EXPECT_EQ(drive->lastReplication().bytes, 0) << "nothing is transferred again";
    }
    EXPECT_TRUE(sameTree("tank/busy", kTarget));
}

TEST_F(Trees, AnEncryptedTreeIsSentPulledBackExportedAndRestoredEncrypted)
{
    const QString keyFile = scratch + "/secret.key";
    QFile key(keyFile);
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write("correct horse battery staple\n");
    key.close();
    ASSERT_TRUE(tb::localZfs({"create", "-o", "encryption=on", "-o", "keyformat=passphrase", "-o",
                              "keylocation=file://" + keyFile, "tank/secret"})
                    .ok());
    ASSERT_TRUE(tb::localZfs({"create", "tank/secret/c1"}).ok());
    tb::writeRandomFile(tb::localPath("tank/secret") + "/a.bin", 300000, 1001);
    tb::writeRandomFile(tb::localPath("tank/secret/c1") + "/b.bin", 300000, 1002);

    ASSERT_TRUE(drive->sendPool(journals, mission(1, {{"name", "secret"}}))) << journalText(journals).toStdString();
    EXPECT_NE(remoteProperty("backup/secret", "encryption"), "off");
    EXPECT_NE(remoteProperty("backup/secret/c1", "encryption"), "off");

    TQ2Journals pulled;
    ASSERT_TRUE(drive->recvPool(pulled, mission(2, {{"caption", "Pull"}, {"name", "secretback"}, {"path", "backup/secret"}})))
        << journalText(pulled).toStdString();
    EXPECT_NE(localProperty("tank/secretback", "encryption"), "off");
    EXPECT_NE(localProperty("tank/secretback/c1", "encryption"), "off");
    EXPECT_EQ(localSnapshotNames("tank/secretback"), localSnapshotNames("tank/secret"));

    const QString exportDir = scratch + "/exports";
    ASSERT_TRUE(QDir().mkpath(exportDir));
    setNow(nextTime());
    TQ2Journals exported;
    ASSERT_TRUE(drive->sendFile(exported, mission(3, {{"caption", "Export"}, {"name", "secret"}, {"path", exportDir}})))
        << journalText(exported).toStdString();
    const QString snapshot = localSnapshotNames("tank/secret").last();
    const QString file = exportDir + "/tank/secret@" + snapshot + ".gz.zsa";
    ASSERT_TRUE(QFile::exists(file)) << file.toStdString();
    TQ2Journals restored;
    ASSERT_TRUE(drive->recvFile(restored, mission(4, {{"caption", "Restore"}, {"name", "secretcopy"}, {"path", file}})))
        << journalText(restored).toStdString();
    EXPECT_NE(localProperty("tank/secretcopy", "encryption"), "off");
    EXPECT_NE(localProperty("tank/secretcopy/c1", "encryption"), "off");
}

} // namespace
