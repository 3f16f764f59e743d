// The testbed's second remote host: a send mission pointed at it logs in to
// its own sshd and lands in its own simulator root, and the first host sees
// neither the login nor the data.
#include "tbharness.h"
#include "transferfixture.h"

#include <QFile>

namespace {

using SecondHost = TransferE2e;

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(SecondHost, SendToTheSecondHostLandsThereAndNotOnTheFirst)
{
    ASSERT_NE(tb::host2(), tb::host());
    ASSERT_NE(tb::remote2Root(), tb::remoteRoot());
    makeLocalDataset("src", 71);
    const qint64 log1Before = fileText(tb::env("ZFSREP_TB_SSH_LOG")).size();
    const qint64 log2Before = fileText(tb::env("ZFSREP_TB_SSH2_LOG")).size();

    setNow(QTime(10, 15, 20));
    ASSERT_TRUE(drive->sendPool(journals, onHost2(mission(1)))) << journalText(journals).toStdString();

    EXPECT_EQ(remote2SnapshotNames("backup/src"), QStringList{"ZFSREP_20240304101520"});
    EXPECT_EQ(remote2Digest("backup/src"), localDigest("tank/src"));
    EXPECT_TRUE(remote2Digest("backup/src").contains("random.bin"));
    EXPECT_FALSE(tb::remoteExists("backup/src")) << "the first host got nothing";
    EXPECT_TRUE(fileText(tb::env("ZFSREP_TB_SSH2_LOG")).mid(log2Before).contains("Accepted password for " +
                                                                                 tb::user().toUtf8()));
    EXPECT_FALSE(fileText(tb::env("ZFSREP_TB_SSH_LOG")).mid(log1Before).contains("Accepted"))
        << "no login reached the first host";

    // The same mission to the first host leaves the second one's copy alone.
    setNow(QTime(10, 16, 0));
    TQ2Journals first;
    ASSERT_TRUE(drive->sendPool(first, mission(1))) << journalText(first).toStdString();
    EXPECT_EQ(remoteSnapshotNames("backup/src"), (QStringList{"ZFSREP_20240304101520", "ZFSREP_20240304101600"}));
    EXPECT_EQ(remote2SnapshotNames("backup/src"), QStringList{"ZFSREP_20240304101520"});
}

} // namespace
