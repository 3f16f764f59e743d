// Pure parts of the server's fairness and placement rules: the places and
// bytes each peer user may take (TQ2PeerQuota), and which directories and
// existing files the socket may use (TQ2SocketPlace), the latter also on
// real directories.
#include "tq2localserver.h"
#include "tq2peerquota.h"
#include "tq2socketplace.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct QuotaStep {
    enum Op { Take, Release, Reserve, Give } op;
    uid_t uid;
    qint64 bytes;
    bool expected;
};

struct QuotaRow {
    const char *name;
    std::vector<QuotaStep> steps;
    int connections;  // total afterwards
    qint64 pending;   // total afterwards
};

// Bounds of every row: 4 connections, 2 per user; 100 bytes, 60 per user.
const QuotaRow kQuotaRows[] = {
    {"OneUserTakesOnlyItsShareOfPlaces",
     {{QuotaStep::Take, 1000, 0, true}, {QuotaStep::Take, 1000, 0, true}, {QuotaStep::Take, 1000, 0, false},
      {QuotaStep::Take, 1001, 0, true}, {QuotaStep::Take, 0, 0, true}},
     4, 0},
    {"FullPlacesRefuseOthersButNotRoot",
     {{QuotaStep::Take, 1000, 0, true}, {QuotaStep::Take, 1000, 0, true}, {QuotaStep::Take, 1001, 0, true},
      {QuotaStep::Take, 1001, 0, true}, {QuotaStep::Take, 1002, 0, false}, {QuotaStep::Take, 0, 0, true},
      {QuotaStep::Take, 0, 0, true}, {QuotaStep::Take, 0, 0, false}},
     6, 0},
    {"ReleasedPlaceIsTakenAgain",
     {{QuotaStep::Take, 1000, 0, true}, {QuotaStep::Take, 1000, 0, true}, {QuotaStep::Release, 1000, 0, true},
      {QuotaStep::Take, 1000, 0, true}, {QuotaStep::Release, 1000, 0, true}, {QuotaStep::Release, 1000, 0, true},
      {QuotaStep::Release, 1000, 0, true}},
     0, 0},
    {"OneUserHoldsOnlyItsShareOfBytes",
     {{QuotaStep::Reserve, 1000, 50, true}, {QuotaStep::Reserve, 1000, 11, false}, {QuotaStep::Reserve, 1000, 10, true},
      {QuotaStep::Reserve, 1001, 40, true}},
     0, 100},
    {"FullBytesRefuseOthersButNotRoot",
     {{QuotaStep::Reserve, 1000, 60, true}, {QuotaStep::Reserve, 1001, 40, true}, {QuotaStep::Reserve, 1002, 1, false},
      {QuotaStep::Reserve, 0, 60, true}, {QuotaStep::Reserve, 0, 1, false}, {QuotaStep::Give, 1000, 60, true},
      {QuotaStep::Reserve, 1002, 1, false}, {QuotaStep::Give, 0, 60, true}, {QuotaStep::Reserve, 1002, 60, true}},
     0, 100},
    {"GivingBackMoreThanHeldStopsAtZero",
     {{QuotaStep::Reserve, 1000, 10, true}, {QuotaStep::Give, 1000, 50, true}, {QuotaStep::Give, 1001, 5, true},
      {QuotaStep::Reserve, 1000, 60, true}},
     0, 60},
};

class QuotaTable : public ::testing::TestWithParam<QuotaRow>
{
};

TEST_P(QuotaTable, SharesPlacesAndBytesPerUser)
{
    TQ2PeerQuota quota({4, 2, 100, 60});
    int index = 0;
    for (const QuotaStep &step : GetParam().steps) {
        SCOPED_TRACE(::testing::Message() << "step " << index++);
        switch (step.op) {
        case QuotaStep::Take:
            EXPECT_EQ(quota.takeConnection(step.uid), step.expected);
            break;
        case QuotaStep::Release:
            quota.releaseConnection(step.uid);
            break;
        case QuotaStep::Reserve:
            EXPECT_EQ(quota.reserveBytes(step.uid, step.bytes), step.expected);
            break;
        case QuotaStep::Give:
            quota.releaseBytes(step.uid, step.bytes);
            break;
        }
    }
    EXPECT_EQ(quota.connections(), GetParam().connections);
    EXPECT_EQ(quota.pendingBytes(), GetParam().pending);
}

INSTANTIATE_TEST_SUITE_P(Table, QuotaTable, ::testing::ValuesIn(kQuotaRows),
                         [](const auto &info) { return std::string(info.param.name); });

struct DirectoryRow {
    const char *name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    uid_t self;
    const char *problem; // part of the reason; nullptr: accepted
};

const DirectoryRow kDirectoryRows[] = {
    {"RootsPrivateDirectory", 0, 0, S_IFDIR | 0755, 0, nullptr},
    {"OwnDirectory", 1000, 1000, S_IFDIR | 0700, 1000, nullptr},
    {"RootsGroupMayWrite", 0, 0, S_IFDIR | 0775, 0, nullptr},
    {"RootsStickySharedDirectory", 0, 0, S_IFDIR | 01777, 0, nullptr},
    {"AnotherUsersDirectory", 1000, 1000, S_IFDIR | 0755, 0, "belongs to user 1000"},
    {"WorldWritable", 0, 0, S_IFDIR | 0777, 0, "can be written by other users (mode 0777"},
    {"WritableByAnotherGroup", 0, 100, S_IFDIR | 0775, 0, "group 100"},
    {"StickyButAUsersOwn", 1000, 1000, S_IFDIR | 01777, 1000, "can be written by other users"},
    {"StickyGroupWritableOfRoot", 0, 100, S_IFDIR | 01775, 0, nullptr},
};

class DirectoryTable : public ::testing::TestWithParam<DirectoryRow>
{
};

TEST_P(DirectoryTable, AcceptsOnlyDirectoriesOthersCannotUse)
{
    const DirectoryRow &row = GetParam();
    const QString problem = TQ2SocketPlace::directoryProblem("/d", row.owner, row.group, row.mode, row.self);
    if (!row.problem) {
        EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        return;
    }
    EXPECT_TRUE(problem.contains(QString::fromLatin1(row.problem))) << problem.toStdString();
    EXPECT_TRUE(problem.contains("/d"));
}

INSTANTIATE_TEST_SUITE_P(Table, DirectoryTable, ::testing::ValuesIn(kDirectoryRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SocketPlace, ExistingFileOfAnotherUserIsRefused)
{
    EXPECT_TRUE(TQ2SocketPlace::existingProblem("/tmp/s", 0, 0).isEmpty());
    EXPECT_TRUE(TQ2SocketPlace::existingProblem("/tmp/s", 1000, 1000).isEmpty());
    EXPECT_TRUE(TQ2SocketPlace::existingProblem("/tmp/s", 0, 1000).isEmpty()) << "root's own file";
    EXPECT_TRUE(TQ2SocketPlace::existingProblem("/tmp/s", 1000, 0).contains("belongs to user 1000"));
}

// The server on real directories: what it refuses it leaves as it was.
class SocketPlaceOnDisk : public ::testing::Test
{
protected:
    QString make(const QString &name, mode_t mode)
    {
        const QString path = dir.filePath(name);
        EXPECT_EQ(::mkdir(QFile::encodeName(path).constData(), 0700), 0);
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        return path;
    }
    QTemporaryDir dir;
};

TEST_F(SocketPlaceOnDisk, RefusesADirectoryOthersCanWriteAndItsSubdirectories)
{
    const QString open = make("open", 0777);
    TQ2LocalServer server;
    EXPECT_FALSE(server.start(open + "/s.sock"));
    EXPECT_TRUE(server.errorString().contains("can be written by other users")) << server.errorString().toStdString();
    EXPECT_FALSE(QFileInfo::exists(open + "/s.sock"));
    EXPECT_FALSE(server.start(open + "/inner/s.sock")) << "a parent others can write is as bad";
    EXPECT_TRUE(server.errorString().contains(open)) << server.errorString().toStdString();
    EXPECT_FALSE(QFileInfo::exists(open + "/inner")) << "a directory was made where others can write";

    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    EXPECT_TRUE(server.start(open + "/inner/s.sock")) << server.errorString().toStdString();
}

TEST_F(SocketPlaceOnDisk, InASharedDirectoryAnotherUsersFileIsNeitherRemovedNorUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIPPED LOUDLY: giving a file to another user needs root";
    const QString shared = make("shared", 01777);
    const QString path = shared + "/s.sock";
    QFile squatter(path);
    ASSERT_TRUE(squatter.open(QIODevice::WriteOnly));
    squatter.close();
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    struct stat before {};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &before), 0);

    TQ2LocalServer server;
    EXPECT_FALSE(server.start(path));
    EXPECT_TRUE(server.errorString().contains("belongs to user 65534")) << server.errorString().toStdString();
    struct stat after {};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the other user's file was replaced";
    EXPECT_TRUE(S_ISREG(after.st_mode));

    // A bare name lives in the temporary directory: the same rule holds there.
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(shared));
    EXPECT_FALSE(server.start("s.sock"));
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(server.start("s.sock")) << server.errorString().toStdString();
    server.stop();
    if (saved.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", saved);

    const QString foreign = make("foreign", 0755);
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    EXPECT_FALSE(server.start(foreign + "/s.sock"));
    EXPECT_TRUE(server.errorString().contains("belongs to user 65534")) << server.errorString().toStdString();
}

} // namespace
