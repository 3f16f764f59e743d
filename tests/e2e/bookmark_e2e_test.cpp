// The base kept as a bookmark, on the testbed: after the base snapshot is
// destroyed on the source (its hold released by hand), the next send goes
// on incrementally from the mission's bookmark (bytes = the new data, not
// the tree), on a single dataset and on a tree; without a bookmark the run
// is refused and says why. Data is compared by digest at both ends.
#include "tbharness.h"
#include "treefixture.h"

namespace {

const QString kOne = "tank/one";
const QString kOneTarget = "backup/one";

// The names after "#" of a local dataset's bookmarks.
QStringList bookmarks(const QString &dataset)
{
    const tb::Run listed = tb::localZfs({"list", "-H", "-o", "name", "-t", "bookmark", dataset});
    QStringList names;
    for (const QByteArray &line : listed.out.split('\n')) {
        if (!line.isEmpty())
            names.append(QString::fromUtf8(line.mid(line.indexOf('#') + 1)));
    }
    return names;
}

QString guid(bool remote, const QString &snapshot)
{
    const QStringList args{"list", "-H", "-p", "-o", "guid", snapshot};
    return QString::fromUtf8((remote ? tb::remoteZfs(args) : tb::localZfs(args)).out.trimmed());
}

// Releases the mission's hold on the newest snapshot of `dataset` (the
// run's base) and destroys it on the whole tree, as an admin would.
QString destroyBase(const QString &dataset, int msnno)
{
    const QString base = tb::localSnapshots(dataset).last();
    EXPECT_TRUE(tb::localZfs({"release", "-r", QStringLiteral("zfsrep-%1").arg(msnno), base}).ok());
    EXPECT_TRUE(tb::localZfs({"destroy", "-r", base}).ok());
    return base.mid(base.indexOf('@') + 1);
}

using Bookmarks = Trees;

TEST_F(Bookmarks, ALostBaseOfOneDatasetIsContinuedFromTheBookmarkAndWithoutOneTheRunSaysWhy)
{
    makeLocalDataset("one", 71);
    const QJsonObject send = mission(1, {{"msnno", 5}, {"name", "one"}});
    setNow(nextTime());
    ASSERT_TRUE(drive->sendPool(journals, send)) << journalText(journals).toStdString();
    tb::writeRandomFile(tb::localPath(kOne) + "/second.bin", 200000, 72);
    setNow(QTime(11, 30, 5));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendPool(second, send)) << journalText(second).toStdString();
    // One bookmark of the mission: the new base's, the first one's is gone.
    EXPECT_EQ(bookmarks(kOne), QStringList{"zfsrep_5_20240304113005"});

    const QString base = destroyBase(kOne, 5);
    EXPECT_EQ(base, "ZFSREP_20240304113005");
    tb::writeRandomFile(tb::localPath(kOne) + "/third.bin", 150000, 73);
    setNow(QTime(11, 45, 0));
    TQ2Journals third;
    ASSERT_TRUE(drive->sendPool(third, send)) << journalText(third).toStdString();
    const ReplicationResult noted = drive->lastReplication();
    EXPECT_EQ(noted.kind, "incremental");
    EXPECT_EQ(noted.base, "#zfsrep_5_20240304113005");
    EXPECT_GT(noted.bytes, 150000);
    EXPECT_LT(noted.bytes, 150000 + 32768) << "the new data, not the dataset";
    EXPECT_EQ(remoteDigest(kOneTarget), localDigest(kOne));
    EXPECT_EQ(guid(true, kOneTarget + "@ZFSREP_20240304114500"), guid(false, kOne + "@ZFSREP_20240304114500"));
    EXPECT_EQ(bookmarks(kOne), QStringList{"zfsrep_5_20240304114500"});

    // Without a bookmark nothing can continue the replica: refused, saying why.
    ASSERT_TRUE(tb::localZfs({"destroy", kOne + "#zfsrep_5_20240304114500"}).ok());
    destroyBase(kOne, 5);
    tb::writeRandomFile(tb::localPath(kOne) + "/fourth.bin", 1000, 74);
    setNow(QTime(12, 0, 0));
    TQ2Journals fourth;
    EXPECT_FALSE(drive->sendPool(fourth, send));
    EXPECT_TRUE(drive->lastRun()->errorText().contains(
        "its newest, ZFSREP_20240304114500, is gone from the source and no bookmark holds it"))
        << drive->lastRun()->errorText().toStdString();
    EXPECT_EQ(remoteSnapshotNames(kOneTarget).last(), "ZFSREP_20240304114500") << "the replica is left as it was";
}

TEST_F(Bookmarks, ALostBaseOfATreeIsContinuedDatasetByDataset)
{
    makeLocalTree(81);
    const QJsonObject send = mission(1, {{"msnno", 6}});
    setNow(QTime(9, 0, 0));
    ASSERT_TRUE(drive->sendPool(journals, send)) << journalText(journals).toStdString();
    for (const QString &below : QStringList{QString()} + kBelow) {
        const QString dataset = below.isEmpty() ? kSource : kSource + "/" + below;
        EXPECT_EQ(bookmarks(dataset), QStringList{"zfsrep_6_20240304090000"}) << dataset.toStdString();
    }
    destroyBase(kSource, 6);
    changeLocalTree(82); // 300000 new bytes in each of the four datasets
    setNow(QTime(9, 30, 0));
    TQ2Journals next;
    ASSERT_TRUE(drive->sendPool(next, send)) << journalText(next).toStdString();
    const ReplicationResult noted = drive->lastReplication();
    EXPECT_EQ(noted.kind, "incremental");
    EXPECT_EQ(noted.base, "#zfsrep_6_20240304090000");
    EXPECT_GT(noted.bytes, 4 * 300000);
    EXPECT_LT(noted.bytes, 4 * 300000 + 4 * 32768) << "the new data, not the tree";
    for (const QString &below : QStringList{QString()} + kBelow) {
        const QString local = below.isEmpty() ? kSource : kSource + "/" + below;
        const QString remote = below.isEmpty() ? kTarget : kTarget + "/" + below;
        EXPECT_EQ(remoteDigest(remote), localDigest(local)) << local.toStdString();
        EXPECT_EQ(guid(true, remote + "@ZFSREP_20240304093000"), guid(false, local + "@ZFSREP_20240304093000"));
        EXPECT_EQ(bookmarks(local), QStringList{"zfsrep_6_20240304093000"}) << local.toStdString();
    }
}

} // namespace
