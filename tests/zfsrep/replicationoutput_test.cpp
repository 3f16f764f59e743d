#include "pvmeter.h"
#include "replicationoutput.h"
#include "zfsoutput.h"

#include <gtest/gtest.h>

namespace {

TEST(ReplicationOutput, SnapshotsOfTheDatasetOnlyInOrder)
{
    // $ zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -d 1 tank/data
    const QByteArray output = "tank/data@a\t8102390113372717473\t121\n"
                              "tank/data/child@a\t77\t121\n"
                              "tank/data@with space\t18446744073709551615\t130\n"
                              "tank/data@bad\tnotanumber\t131\n"
                              "tank/data@short\t5\n"
                              "tank/database@x\t9\t140\n";
    const QList<SnapshotInfo> list = ReplicationOutput::snapshots(output, QStringLiteral("tank/data"));
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list.at(0).name, QStringLiteral("a"));
    EXPECT_EQ(list.at(0).guid, 8102390113372717473ULL);
    EXPECT_EQ(list.at(0).createtxg, 121U);
    EXPECT_EQ(list.at(1).name, QStringLiteral("with space"));
    EXPECT_EQ(list.at(1).guid, 18446744073709551615ULL);
    EXPECT_TRUE(ReplicationOutput::snapshots("", QStringLiteral("tank/data")).isEmpty());
}

TEST(ReplicationOutput, ResumeTokenValues)
{
    EXPECT_EQ(ReplicationOutput::resumeToken("-\n"), QString());
    EXPECT_EQ(ReplicationOutput::resumeToken(""), QString());
    EXPECT_EQ(ReplicationOutput::resumeToken("backup/data@a\t1\t100\n"), QString()) << "not a token";
    EXPECT_EQ(ReplicationOutput::resumeToken("1-e604ea4bf-e0-789c63a2\n"), QStringLiteral("1-e604ea4bf-e0-789c63a2"));
}

TEST(ReplicationOutput, ClassifiesRecordedErrors)
{
    EXPECT_TRUE(ReplicationOutput::isMissingDataset("cannot open 'backup/data': dataset does not exist"));
    EXPECT_FALSE(ReplicationOutput::isMissingDataset("Permission denied, please try again."));
    EXPECT_TRUE(ReplicationOutput::isExistingDataset("cannot create snapshot 'tank/data@s_1': dataset already exists"));
    EXPECT_TRUE(ReplicationOutput::isStaleToken(
        "cannot resume send: 'tank/data@s_1' used in the initial send no longer exists"));
    EXPECT_FALSE(ReplicationOutput::isStaleToken("ssh: connect to host 127.0.0.1 port 22: Connection refused"));
    EXPECT_TRUE(ReplicationOutput::isMissingHold(
        "cannot release hold from snapshot 'tank/data@a': no such tag on this dataset"));
}

TEST(ReplicationOutput, HoldsOfNamesWithSpaces)
{
    // $ zfs holds -H 'tank/my data@a'
    const auto holds = ZfsOutput::holds("tank/my data@a\tzfsrep-3\tThu Mar  5 07:00 2024\n");
    ASSERT_EQ(holds.size(), 1);
    EXPECT_EQ(holds.at(0).first, QStringLiteral("tank/my data@a"));
    EXPECT_EQ(holds.at(0).second, QStringLiteral("zfsrep-3"));
    // A line with an empty field is no hold (found by fuzzing).
    EXPECT_TRUE(ZfsOutput::holds("tank/data@b\t\tThu Dec  7 19:30 2023\n\t keep\n").isEmpty());
}

TEST(PvMeter, ReadsSplitLinesAndComputesFigures)
{
    PvMeter meter(4000000);
    meter.feed("1.0003 1000", 1000);
    EXPECT_EQ(meter.bytes(), 0); // the line is not complete yet
    meter.feed("000\r\n2.0001 2000000\r\n", 2000);
    EXPECT_EQ(meter.bytes(), 2000000);
    EXPECT_NEAR(double(meter.bytesPerSecond()), 1000000.0, 1000.0);
    EXPECT_EQ(meter.percent(), 50);
    EXPECT_EQ(meter.etaSeconds(), 2);
    meter.feed("cannot receive: failed to read from stream\r\n", 2500);
    EXPECT_EQ(meter.bytes(), 2000000);
    meter.feed("3.0002 2000000\r\n4.0003 2000000\r\n", 4000);
    EXPECT_EQ(meter.bytesPerSecond(), 0);
    EXPECT_EQ(meter.idleMs(9000), 7000);
    meter.feed("5.0 4000000\n", 9000);
    EXPECT_EQ(meter.percent(), 99); // 100 only once the stage ended
}

// pv prints its seconds in the locale it runs under; a stage's LC_ALL=C can
// be lost on the way (a wrapper, a remote pv), so both notations are read.
TEST(PvMeter, ReadsADecimalCommaLikeADecimalPoint)
{
    // $ head -c 300000 /dev/zero | LC_ALL=de_DE.UTF-8 pv -f -n -b -t -i 1 -L 100000 >/dev/null
    const QByteArray comma = "1,0829 100000\r\n2,0750 200000\r\n2,9769 300000\r\n";
    QByteArray point = comma;
    point.replace(',', '.');
    PvMeter byComma(600000);
    PvMeter byPoint(600000);
    byComma.feed(comma, 3000);
    byPoint.feed(point, 3000);
    EXPECT_EQ(byComma.bytes(), 300000);
    EXPECT_EQ(byComma.bytes(), byPoint.bytes());
    EXPECT_EQ(byComma.bytesPerSecond(), byPoint.bytesPerSecond());
    // 100000 bytes in the 0.9019 s between the last two lines.
    EXPECT_NEAR(double(byComma.bytesPerSecond()), 110877.0, 5.0);
    EXPECT_EQ(byComma.percent(), 50);
    EXPECT_EQ(byComma.idleMs(5000), 2000);
}

TEST(PvMeter, TellsNumericLinesFromOtherText)
{
    const struct {
        const char *line;
        bool meter;
    } cases[] = {
        {"12.5 1048576", true},
        {"12,5 1048576", true},
        {" 3 0\r", true},
        {"[18.5MiB/s] [==>  ] 13%", false},
        {"12,5,1 1048576", false},
        {"12. 1048576", false},
        {",5 1048576", false},
        {"12.5 1,048,576", false},
        {"12.5", false},
        {"cannot receive: failed to read from stream", false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(PvMeter::isMeterLine(QString::fromLatin1(c.line)), c.meter);
    }
}

TEST(PvMeter, RateTextLikePv)
{
    EXPECT_EQ(PvMeter::rateText(0), QStringLiteral("0.00 B/s"));
    EXPECT_EQ(PvMeter::rateText(19398656), QStringLiteral("18.5MiB/s"));
    EXPECT_EQ(PvMeter::rateText(1100000000), QStringLiteral("1.02GiB/s"));
    EXPECT_TRUE(PvMeter::isMeterLine(QStringLiteral("12.5 1048576")));
    EXPECT_FALSE(PvMeter::isMeterLine(QStringLiteral("[18.5MiB/s] [==>  ] 13%")));
}

} // namespace

namespace {

TEST(ReplicationOutputTree, SnapshotsAndTokensOfEveryDatasetByItsPlaceBelowTheTop)
{
    // $ zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data  (OpenZFS 2.3)
    const QByteArray listed = "tank/data@a\t11\t5\n"
                              "tank/data/c1@a\t12\t5\n"
                              "tank/data/c1/my g@a\t13\t5\n"
                              "tank/database@a\t14\t5\n"   // a sibling whose name starts alike
                              "tank/data/c1@b\tnotanumber\t6\n"
                              "tank/data/c1@\t15\t6\n"
                              "truncated line\n";
    const auto snapshots = ReplicationOutput::treeSnapshots(listed, "tank/data");
    EXPECT_EQ(snapshots.keys(), (QStringList{"", "c1", "c1/my g"}));
    EXPECT_EQ(snapshots.value("c1").size(), 1);
    EXPECT_EQ(snapshots.value("c1/my g").at(0).guid, 13u);

    // $ zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data
    const QByteArray states = "tank/data\treceive_resume_token\t-\n"
                              "tank/data\twritten\t0\n"
                              "tank/data/c1\treceive_resume_token\t1-e604ea4bf-e0-789c63a2\n"
                              "tank/data/c1\twritten\t4096\n"
                              "tank/data/c1/my g\treceive_resume_token\t-\n"
                              "tank/data/c1/my g\twritten\tmany\n"
                              "tank/data/c1/my g\tused\t77\n"
                              "tank/database\treceive_resume_token\t1-other\n";
    const auto pending = ReplicationOutput::treeStates(states, "tank/data");
    EXPECT_EQ(pending.keys(), (QStringList{"", "c1", "c1/my g"}));
    EXPECT_EQ(pending.value("").resumeToken, "");
    EXPECT_EQ(pending.value("").written, 0);
    EXPECT_EQ(pending.value("c1").resumeToken, "1-e604ea4bf-e0-789c63a2");
    EXPECT_EQ(pending.value("c1").written, 4096);
    EXPECT_EQ(pending.value("c1/my g").written, -1) << "a value that is no number is not known";
    EXPECT_TRUE(pending.value("c1/my g").exists);
    EXPECT_TRUE(ReplicationOutput::treeStates("", "tank/data").isEmpty());
}

} // namespace

TEST(ReplicationOutput, MissingSnapshotWarningsOfExpectedDatasetsOnly)
{
    const QStringList expected{"tank/data/kid", "tank/data/new"};
    struct Row {
        const char *name;
        QString text;
        bool accepted;
    } rows[] = {
        {"one expected warning", "WARNING: could not send tank/data/kid@two: does not exist", true},
        {"two, terminal line ends", "WARNING: could not send tank/data/kid@two: does not exist\r\n"
                                    "WARNING: could not send tank/data/new@two: does not exist\r\n", true},
        {"a dataset the plan did not expect", "WARNING: could not send tank/data/other@two: does not exist", false},
        {"a prefix of an expected name is not it", "WARNING: could not send tank/data/ki@two: does not exist", false},
        {"a real error besides", "WARNING: could not send tank/data/kid@two: does not exist\n"
                                 "cannot receive incremental stream: destination backup/data has been modified", false},
        {"nothing at all", "", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ReplicationOutput::onlyMissingSnapshotWarnings(row.text, expected), row.accepted);
    }
}

TEST(ReplicationOutput, ATreeIsEncryptedWhenAnyDatasetIs)
{
    // $ zfs get -H -o value -r -t filesystem,volume encryption tank/data
    EXPECT_FALSE(ReplicationOutput::anyEncrypted("off\noff\n"));
    EXPECT_TRUE(ReplicationOutput::anyEncrypted("off\naes-256-gcm\noff\n"));
    EXPECT_TRUE(ReplicationOutput::anyEncrypted("aes-128-ccm\n"));
    EXPECT_FALSE(ReplicationOutput::anyEncrypted(""));
    EXPECT_FALSE(ReplicationOutput::anyEncrypted("-\n"));
}

TEST(ReplicationOutput, TreeListingLinesOneByOne)
{
    QString relative;
    SnapshotInfo info;
    ASSERT_TRUE(ReplicationOutput::treeSnapshotLine("tank/data/kid@a\t81\t7\r", "tank/data", relative, info));
    EXPECT_EQ(relative, "kid");
    EXPECT_EQ(info.name, "a");
    EXPECT_EQ(info.guid, 81u);
    EXPECT_EQ(info.createtxg, 7u);
    EXPECT_TRUE(ReplicationOutput::treeSnapshotLine("tank/data@b\t82\t8", "tank/data", relative, info));
    EXPECT_EQ(relative, "");
    EXPECT_FALSE(ReplicationOutput::treeSnapshotLine("tank/database@b\t82\t8", "tank/data", relative, info));
    EXPECT_FALSE(ReplicationOutput::treeSnapshotLine("tank/data@b\tx\t8", "tank/data", relative, info));
    EXPECT_FALSE(ReplicationOutput::treeSnapshotLine("tank/data@b\t82", "tank/data", relative, info));
    EXPECT_FALSE(ReplicationOutput::treeSnapshotLine("", "tank/data", relative, info));
}

TEST(ReplicationOutput, OneDatasetInOneListing)
{
    // $ zfs list -H -p -o name,guid,createtxg,receive_resume_token,written -t filesystem,volume,snapshot -s createtxg -d 1 backup/data
    const QByteArray listed = "backup/data\t91\t5\t1-e604ea4bf-e0-789c63a2\t4096\n"
                              "backup/data/child\t92\t6\t-\t0\n"
                              "backup/data@a\t11\t7\t-\t-\n"
                              "backup/data/child@a\t12\t7\t-\t-\n"
                              "backup/data@b\t13\t9\t-\t-\n"
                              "backup/data@bad\tx\t9\t-\t-\n";
    const DatasetListing one = ReplicationOutput::datasetListing(listed, "backup/data");
    EXPECT_TRUE(one.exists);
    EXPECT_EQ(one.resumeToken, "1-e604ea4bf-e0-789c63a2");
    EXPECT_EQ(one.written, 4096);
    ASSERT_EQ(one.snapshots.size(), 2) << "the child's snapshot and a broken line are skipped";
    EXPECT_EQ(one.snapshots.at(0).name, "a");
    EXPECT_EQ(one.snapshots.at(1).guid, 13u);
    EXPECT_FALSE(ReplicationOutput::datasetListing("backup/data/child\t92\t6\t-\t0\n", "backup/data").exists);
    EXPECT_EQ(ReplicationOutput::datasetListing("backup/data\t91\t5\t-\t-\n", "backup/data").written, -1);
}
