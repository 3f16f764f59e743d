// Trees as an appliance has them after months: a child that no longer fits
// the replica is refused before any stream and the replica stays as it was;
// a plain top with an encrypted child travels raw; children without the
// newest snapshot are carried; histories far beyond any output cap are
// listed; a pull replaces a local tree with a long history; a cancel reaches
// the replacement's steps; a removed mission leaves nothing behind.
#include "tbharness.h"
#include "treefixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// The snapshot names of every dataset of a remote tree, by dataset.
QMap<QString, QStringList> remoteTreeSnapshots(const QString &top)
{
    QMap<QString, QStringList> result;
    const tb::Run listed = tb::remoteZfs({"list", "-H", "-o", "name", "-t", "snapshot", "-r", top});
    for (const QByteArray &line : listed.out.split('\n')) {
        const QString name = QString::fromUtf8(line).trimmed();
        const int at = name.indexOf('@');
        if (at > 0)
            result[name.left(at)].append(name.mid(at + 1));
    }
    return result;
}

// Adds `count` snapshots to each of `datasets` in a simulator pool's
// metadata, older than every snapshot the dataset has: a history the pool
// held already, written directly instead of by `count` commands. Names and
// guids depend on the dataset and the index only, so the same call on both
// sides gives a history both hold. Only the metadata is written: these
// snapshots are listed, held and destroyed, never sent.
void seedHistory(const QString &poolMeta, const QStringList &datasets, int count)
{
    QFile file(poolMeta);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << poolMeta.toStdString();
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    QList<QByteArray> out;
    quint64 nextId = 0;
    int headerAt = -1;
    // Every transaction group the pool counted so far moves up by `shift`,
    // so that the history comes first in creation order.
    const quint64 shift = quint64(count) + 10;
    for (const QByteArray &original : lines) {
        QList<QByteArray> f = original.split('\t');
        const int txgField = f.value(0) == "pool" ? 4 : f.value(0) == "ds" ? 4 : f.value(0) == "snap" ? 5 : -1;
        if (txgField >= 0 && f.size() > txgField)
            f[txgField] = QByteArray::number(f.at(txgField).toULongLong() + shift);
        const QByteArray line = f.join('\t');
        if (f.value(0) == "pool" && f.size() >= 7) {
            headerAt = out.size();
            nextId = f.at(5).toULongLong();
        }
        out.append(line);
        if (f.value(0) != "ds" || f.size() < 7)
            continue;
        const QString name = QString::fromUtf8(f.at(2));
        const int index = datasets.indexOf(name);
        if (index < 0)
            continue;
        for (int i = 0; i < count; ++i) {
            const QString snap = QStringLiteral("hourly-history-of-the-appliance-kept-for-months-%1").arg(i, 6, 10, QLatin1Char('0'));
            const quint64 guid = 7000000000000000000ull + quint64(index) * 1000000ull + quint64(i);
            out.append(QStringLiteral("snap\t%1\t%2\t%3\t%4\t%5\t%6")
                           .arg(QString::fromUtf8(f.at(1)))
                           .arg(nextId++)
                           .arg(snap)
                           .arg(guid)
                           .arg(i + 1)
                           .arg(1700000000 + i * 3600)
                           .toUtf8());
        }
    }
    ASSERT_GE(headerAt, 0);
    QList<QByteArray> header = out.at(headerAt).split('\t');
    header[5] = QByteArray::number(nextId);
    out[headerAt] = header.join('\t');
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(out.join('\n'));
}

class TreeEdges : public Trees
{
protected:
    QString poolMeta(bool remote, const QString &pool) const
    {
        return (remote ? tb::remoteRoot() : tb::localRoot()) + "/pools/" + pool + "/pool.meta";
    }
};

TEST_F(TreeEdges, ADatasetThatNoLongerFitsIsRefusedBeforeAnyStreamAndTheReplicaStaysAsItWas)
{
    makeLocalTree(1101);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    const QMap<QString, QStringList> before = remoteTreeSnapshots(kTarget);

    // c2 destroyed on the source and made again under its name (the
    // mission's hold released first, as an admin would).
    for (const QString &snapshot : localSnapshotNames(kSource + "/c2"))
        tb::localZfs({"release", "zfsrep-0", kSource + "/c2@" + snapshot});
    ASSERT_TRUE(tb::localZfs({"destroy", "-r", kSource + "/c2"}).ok());
    ASSERT_TRUE(tb::localZfs({"create", kSource + "/c2"}).ok());
    tb::writeRandomFile(tb::localPath(kSource + "/c2") + "/new.bin", 200000, 1102);
    changeLocalTree(1103);
    setNow(nextTime());
    TQ2Journals recreated;
    EXPECT_FALSE(drive->sendPool(recreated, mission(1)));
    const QString text = QString::fromUtf8(journalText(recreated));
    EXPECT_TRUE(text.contains("c2: ") && text.contains("none in common")) << text.toStdString();
    EXPECT_EQ(remoteTreeSnapshots(kTarget), before) << "nothing of the package was applied";
    EXPECT_EQ(drive->lastReplication().bytes, 0);

    // A snapshot taken on one child of the replica besides: both are named.
    ASSERT_TRUE(tb::remoteZfs({"snapshot", kTarget + "/c1@manual"}).ok());
    const QMap<QString, QStringList> withManual = remoteTreeSnapshots(kTarget);
    setNow(nextTime());
    TQ2Journals both;
    EXPECT_FALSE(drive->sendPool(both, mission(1)));
    const QString bothText = QString::fromUtf8(journalText(both));
    EXPECT_TRUE(bothText.contains("c1: ") && bothText.contains("manual") && bothText.contains("c2: "))
        << bothText.toStdString();
    EXPECT_EQ(remoteTreeSnapshots(kTarget), withManual);

    // Repaired by hand (the decision stays a person's): the next run goes on.
    ASSERT_TRUE(tb::remoteZfs({"destroy", kTarget + "/c1@manual"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"destroy", "-r", kTarget + "/c2"}).ok());
    setNow(nextTime());
    TQ2Journals repaired;
    ASSERT_TRUE(drive->sendPool(repaired, mission(1))) << journalText(repaired).toStdString();
    EXPECT_TRUE(sameTree(kSource, kTarget));
}

TEST_F(TreeEdges, APlainTopWithAnEncryptedChildIsPulledExportedAndRestoredEncrypted)
{
    const QString keyFile = scratch + "/secret.key";
    QFile key(keyFile);
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write("correct horse battery staple\n");
    key.close();
    makeLocalDataset("mixed", 1201);
    ASSERT_TRUE(tb::localZfs({"create", "-o", "encryption=on", "-o", "keyformat=passphrase", "-o",
                              "keylocation=file://" + keyFile, "tank/mixed/sec"})
                    .ok());
    tb::writeRandomFile(tb::localPath("tank/mixed/sec") + "/b.bin", 300000, 1202);

    ASSERT_TRUE(drive->sendPool(journals, mission(1, {{"name", "mixed"}}))) << journalText(journals).toStdString();
    EXPECT_NE(remoteProperty("backup/mixed/sec", "encryption"), "off");

    TQ2Journals pulled;
    ASSERT_TRUE(drive->recvPool(pulled, mission(2, {{"caption", "Pull"}, {"name", "mixedback"}, {"path", "backup/mixed"}})))
        << journalText(pulled).toStdString();
    EXPECT_EQ(localProperty("tank/mixedback", "encryption"), "off");
    EXPECT_NE(localProperty("tank/mixedback/sec", "encryption"), "off") << "the pulled child stays encrypted";

    const QString exportDir = scratch + "/exports";
    ASSERT_TRUE(QDir().mkpath(exportDir));
    setNow(nextTime());
    TQ2Journals exported;
    ASSERT_TRUE(drive->sendFile(exported, mission(3, {{"caption", "Export"}, {"name", "mixed"}, {"path", exportDir}})))
        << journalText(exported).toStdString();
    const QString file = exportDir + "/tank/mixed@" + localSnapshotNames("tank/mixed").last() + ".gz.zsa";
    ASSERT_TRUE(QFile::exists(file)) << file.toStdString();
    TQ2Journals restored;
    ASSERT_TRUE(drive->recvFile(restored, mission(4, {{"caption", "Restore"}, {"name", "mixedcopy"}, {"path", file}})))
        << journalText(restored).toStdString();
    EXPECT_EQ(localProperty("tank/mixedcopy", "encryption"), "off");
    EXPECT_NE(localProperty("tank/mixedcopy/sec", "encryption"), "off");
    EXPECT_EQ(localSnapshotNames("tank/mixedcopy/sec"), localSnapshotNames("tank/mixed/sec"));
}

TEST_F(TreeEdges, APullCarriesChildrenThatLackTheNewestSnapshot)
{
    // backup/lag with a child from the start; after the recursive snapshot
    // a child made later (no snapshot at all) and a snapshot of the top alone.
    makeRemoteDataset("lag");
    writeRemoteFile("backup/lag", "a.bin", 200000, 1301);
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/lag/old"}).ok());
    writeRemoteFile("backup/lag/old", "b.bin", 200000, 1302);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "-r", "backup/lag@one"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/lag/late"}).ok());
    writeRemoteFile("backup/lag", "c.bin", 100000, 1303);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/lag@two"}).ok());

    const QJsonObject pull = mission(2, {{"caption", "Pull"}, {"name", "lagback"}, {"path", "backup/lag"}});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "into a new dataset" : "over the pulled one");
        TQ2Journals pulled;
        ASSERT_TRUE(drive->recvPool(pulled, pull)) << journalText(pulled).toStdString();
        EXPECT_EQ(localSnapshotNames("tank/lagback"), (QStringList{"one", "two"}));
        EXPECT_EQ(localSnapshotNames("tank/lagback/old"), QStringList{"one"});
        EXPECT_EQ(localDigest("tank/lagback"), remoteDigest("backup/lag"));
        EXPECT_EQ(localDigest("tank/lagback/old"), remoteDigest("backup/lag/old"));
        EXPECT_FALSE(tb::localExists("tank/lagback/late")) << "a child without any snapshot has nothing to carry";
        setNow(nextTime());
    }
}

TEST_F(TreeEdges, AHistoryBeyondAnyOutputCapIsListedAndTheChainGoesOn)
{
    // 10 children with 20,000 older snapshots each on both sides (200,000,
    // about 20 MiB of listing per side), then an incremental run.
    QStringList local, remote;
    makeLocalDataset("hist", 1401);
    for (int i = 0; i < 10; ++i) {
        const QString child = QStringLiteral("tank/hist/child%1").arg(i, 3, 10, QLatin1Char('0'));
        ASSERT_TRUE(tb::localZfs({"create", child}).ok());
        local.append(child);
        remote.append("backup/hist/" + child.mid(QString("tank/hist/").size()));
    }
    ASSERT_TRUE(drive->sendPool(journals, mission(1, {{"name", "hist"}}))) << journalText(journals).toStdString();
    seedHistory(poolMeta(false, "tank"), local, 20000);
    seedHistory(poolMeta(true, "backup"), remote, 20000);
    const tb::Run counted = tb::remoteZfs({"list", "-H", "-p", "-o", "name,guid,createtxg", "-t", "snapshot", "-r", "backup/hist"});
    ASSERT_GT(counted.out.size(), 16 * 1024 * 1024) << "the listing is beyond the old cap";

    tb::writeRandomFile(tb::localPath("tank/hist/child004") + "/new.bin", 300000, 1402);
    setNow(nextTime());
    TQ2Journals next;
    ASSERT_TRUE(drive->sendPool(next, mission(1, {{"name", "hist"}}))) << journalText(next).left(4000).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "incremental");
    // The package's header names every snapshot of the tree (as OpenZFS's
    // does); besides it only the new data travels.
    EXPECT_LT(drive->lastReplication().bytes, 28 * 1024 * 1024);
    EXPECT_EQ(remoteSnapshotNames("backup/hist/child004").size(), 20002);
    EXPECT_EQ(localDigest("tank/hist/child004"), remoteDigest("backup/hist/child004"));
}

TEST_F(TreeEdges, APullReplacesALocalTreeWithALongHistory)
{
    makeRemoteDataset("far");
    writeRemoteFile("backup/far", "a.bin", 100000, 1501);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@s1"}).ok());
    const QJsonObject pull = mission(2, {{"msnno", 2}, {"caption", "Pull"}, {"name", "back"}, {"path", "backup/far"}});
    ASSERT_TRUE(drive->recvPool(journals, pull)) << journalText(journals).toStdString();
    // 11,500 snapshots: their names do not fit one command line.
    seedHistory(poolMeta(false, "tank"), {"tank/back"}, 11500);
    ASSERT_TRUE(tb::localZfs({"hold", "zfsrep-2", "tank/back@s1"}).ok());
    writeRemoteFile("backup/far", "b.bin", 100000, 1502);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@s2"}).ok());
    setNow(nextTime());
    TQ2Journals replaced;
    ASSERT_TRUE(drive->recvPool(replaced, pull)) << journalText(replaced).left(4000).toStdString();
    EXPECT_EQ(localSnapshotNames("tank/back"), (QStringList{"s1", "s2"}));
    EXPECT_EQ(localDigest("tank/back"), remoteDigest("backup/far"));
    EXPECT_FALSE(tb::localExists("tank/back.zfsrep-previous")) << "the old tree is gone with its history";
}

TEST_F(TreeEdges, ACancelReachesTheReplacementAndTheMountStep)
{
    makeRemoteDataset("far");
    writeRemoteFile("backup/far", "a.bin", 100000, 1601);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@s1"}).ok());
    const QJsonObject pull = mission(2, {{"caption", "Pull"}, {"name", "back"}, {"path", "backup/far"}});
    ASSERT_TRUE(drive->recvPool(journals, pull)) << journalText(journals).toStdString();
    for (const char *knob : {"delay-destroy", "delay-set"}) {
        SCOPED_TRACE(knob);
        writeRemoteFile("backup/far", QStringLiteral("%1.bin").arg(knob), 100000, 1602);
        setNow(nextTime());
        ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@" + QString(knob).mid(6)}).ok());
        tb::setLocalFault(knob, "60000");
        // The stream takes well under 4 s; the step that hangs is the old
        // tree's destroy or the mount point's set.
        bool ok = true;
        QByteArray journal;
        const qint64 afterCancel = cancelledAfter(4000, [&](TQ2Journals &j) { return drive->recvPool(j, pull); }, ok, journal);
        tb::clearFaults();
        EXPECT_FALSE(ok) << "a cancelled replacement is no success";
        ASSERT_GE(afterCancel, 0);
        EXPECT_LT(afterCancel, 2000) << journal.toStdString();
        EXPECT_TRUE(tb::localExists("tank/back")) << "the dataset is in place, old or new";
        TQ2Journals next;
        ASSERT_TRUE(drive->recvPool(next, pull)) << journalText(next).toStdString();
        EXPECT_EQ(localDigest("tank/back"), remoteDigest("backup/far"));
    }
}

TEST_F(TreeEdges, ARemovedMissionLeavesNoHoldsAndNoStagingTree)
{
    makeLocalTree(1701);
    const int send = append(mission(1));
    ASSERT_GT(send, 0);
    ASSERT_TRUE(drive->sendPool(journals, row(send))) << journalText(journals).toStdString();
    const QString tag = "zfsrep-" + QString::number(send);
    ASSERT_TRUE(tb::localZfs({"holds", "-H", kSource + "@" + localSnapshotNames(kSource).last()}).out.contains(tag.toUtf8()));
    // Its next run cut: the replica holds a receive waiting to be resumed.
    changeLocalTree(1703);
    setNow(nextTime());
    tb::setLocalFault("send-cut", "500000");
    TQ2Journals cutSend;
    EXPECT_FALSE(drive->sendPool(cutSend, row(send)));
    tb::clearFaults();
    auto remoteTokens = [] {
        return QString::fromUtf8(
                   tb::remoteZfs({"get", "-H", "-o", "value", "-r", "-t", "filesystem", "receive_resume_token", kTarget}).out)
            .split('\n', Qt::SkipEmptyParts)
            .filter(QRegularExpression("^1-"));
    };
    ASSERT_FALSE(remoteTokens().isEmpty()) << journalText(cutSend).toStdString();

    // A pull removed while its staging tree waits with a cut receive.
    makeRemoteDataset("far");
    writeRemoteFile("backup/far", "a.bin", 2000000, 1702);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@s1"}).ok());
    const int pull = append(mission(2, {{"caption", "Pull"}, {"name", "back"}, {"path", "backup/far"}}));
    ASSERT_GT(pull, 0);
    tb::setRemoteFault("send-cut", "500000");
    TQ2Journals cut;
    EXPECT_FALSE(drive->recvPool(cut, row(pull)));
    tb::clearFaults();
    ASSERT_TRUE(tb::localExists("tank/back.zfsrep-incoming")) << journalText(cut).toStdString();

    engine->scheduler().start();
    TQ2Journals removed;
    ASSERT_TRUE(engine->removeMission(removed, send)) << removed.errmsg().toStdString();
    ASSERT_TRUE(engine->removeMission(removed, pull)) << removed.errmsg().toStdString();
    EXPECT_TRUE(eventually([] { return !tb::localExists("tank/back.zfsrep-incoming"); }))
        << "the staging tree of the removed pull is destroyed";
    EXPECT_TRUE(eventually([&] {
        for (const QString &below : QStringList{QString()} + kBelow) {
            const QString dataset = below.isEmpty() ? kSource : kSource + "/" + below;
            for (const QString &snapshot : localSnapshotNames(dataset))
                if (tb::localZfs({"holds", "-H", dataset + "@" + snapshot}).out.contains(tag.toUtf8()))
                    return false;
        }
        return true;
    })) << "no snapshot of the tree keeps the removed send's hold";
    EXPECT_TRUE(eventually([&] { return remoteTokens().isEmpty(); })) << "the replica's cut receive is aborted";
    // The admin's destroy is no longer refused, and the event log says what went.
    EXPECT_TRUE(tb::localZfs({"destroy", "-r", kSource + "@" + localSnapshotNames(kSource).last()}).ok());
    bool recorded = false;
    for (const QJsonValue &event : events())
        recorded = recorded || QJsonDocument(event.toObject()).toJson().contains("staging tree");
    EXPECT_TRUE(recorded);
}

} // namespace
