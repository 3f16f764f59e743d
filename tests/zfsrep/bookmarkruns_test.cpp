// Bookmarks of the incremental base against a scripted runner: the exact
// commands a verified send runs to keep its bookmark (the new one before the
// old one goes), the stream from a bookmark when the base snapshot is gone,
// the refusal without one, and the clean-up of a removed mission.
#include "basebookmarks.h"
#include "fakerunner.h"
#include "fixtures.h"
#include "missioncleanup.h"
#include "missiondriver.h"
#include "mxzfsrep.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const QString kSsh = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 ";
const QString kLocalList = "zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data";
const QString kLocalToken = "zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data";
const QString kRemoteList =
    kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r backup/data";
const QString kRemoteToken =
    kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written backup/data";
const QString kRemoteOne = kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg,receive_resume_token,written -t "
                                  "filesystem,volume,snapshot -s createtxg -d 1 backup/data";
const QString kBookmarks = "zfs list -H -p -o name,guid,createtxg -t bookmark -s createtxg -r tank/data";
const QString kMarksAndSnapshots = "zfs list -H -p -o name,guid,createtxg -t bookmark,snapshot -s createtxg -r tank/data";
const QString kCreated = "daily_20240305070809";

// "a:1 b:2" -> listing lines of `dataset`, `mark` ("@" or "#") before each
// name; a bookmark is of a snapshot older than any listed (its txg).
QByteArray lines(const QString &dataset, const QString &text, const QString &mark = "@")
{
    QByteArray out;
    int txg = mark == "#" ? 50 : 100;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        out += (dataset + mark + parts.at(0) + "\t" + parts.at(1) + "\t" + QString::number(txg++) + "\n").toUtf8();
    }
    return out;
}

class BookmarkRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setRunner(runner);
        engine.settings().sshControlDirectory = QString();
        engine.events().open(dir.filePath("tarnlog.db"));
        engine.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });
        runner->respond("zfs send -nvP", 0, "size\t1000\n");
        runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\n");
        runner->respond(kRemoteToken, 0, "backup/data\treceive_resume_token\t-\n");
    }

    QJsonObject mission() const
    {
        return QJsonObject{{"msnno", 7}, {"caption", "Nightly"}, {"action", 1}, {"pool", "tank"},
                           {"name", "data"}, {"path", "backup"}, {"host", "127.0.0.1"}, {"port", "2222"},
                           {"userid", "zr"}, {"passwd", "Secret-1"}, {"snapname", "daily"}};
    }

    QStringList pipelines() const
    {
        QStringList result;
        for (const ProcessRequest &request : runner->spawns())
            result.append(request.arguments.value(3).mid(QString("set -o pipefail; ").size()));
        return result;
    }

    static FakeStage moving(qint64 bytes)
    {
        FakeStage stage;
        stage.chunks = {"1.0001 " + QByteArray::number(bytes) + "\r\n"};
        return stage;
    }

    RunServices services() { return RunServices{engine.runner(), engine.settings(), engine.events(), [] { return QDateTime(); }}; }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    MissionDriver driver{engine};
    TQ2Journals journals;
};

} // namespace

TEST_F(BookmarkRuns, AVerifiedSendBookmarksItsBaseBeforeDestroyingTheOldBookmark)
{
    runner->respond(kLocalList, 0, lines("tank/data", "daily_20240304070809:3 " + kCreated + ":4"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3"));
    runner->respond(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3 " + kCreated + ":4"));
    runner->respond(kMarksAndSnapshots, 0,
                    lines("tank/data", "daily_20240304070809:3 " + kCreated + ":4")
                        + lines("tank/data", "zfsrep_7_20240304070809:3 zfsrep_77_20240304070809:3 other-tool:3", "#")
                        + lines("tank/data/kid", kCreated + ":14")
                        + lines("tank/data/kid", "zfsrep_7_20240304070809:13", "#"));
    runner->queueStage(moving(500));
    ASSERT_TRUE(driver.sendPool(journals, mission())) << journals.errmsg().toStdString();
    const QStringList run = runner->runLines();
    const int listed = run.indexOf(kMarksAndSnapshots);
    const int made = run.indexOf("zfs bookmark tank/data@" + kCreated + " tank/data#zfsrep_7_20240305070809");
    const int kidMade = run.indexOf("zfs bookmark tank/data/kid@" + kCreated + " tank/data/kid#zfsrep_7_20240305070809");
    const int dropped = run.indexOf("zfs destroy tank/data#zfsrep_7_20240304070809");
    const int kidDropped = run.indexOf("zfs destroy tank/data/kid#zfsrep_7_20240304070809");
    ASSERT_GE(listed, 0);
    EXPECT_GT(made, listed);
    EXPECT_GT(dropped, made) << "the new bookmark is made before the old one goes";
    EXPECT_GT(kidMade, 0);
    EXPECT_GT(kidDropped, kidMade);
    EXPECT_EQ(run.filter("zfs destroy").size(), 2) << run.filter("zfs destroy").join("\n").toStdString()
                                                    << "\n(another mission's and another tool's bookmarks stay)";
    EXPECT_EQ(run.filter(kBookmarks).size(), 0) << "the replication shared a snapshot: no bookmark listing";
}

TEST_F(BookmarkRuns, AFailedBookmarkKeepsTheOldOneAndTheRunSucceeds)
{
    runner->respond(kLocalList, 0, lines("tank/data", "daily_20240304070809:3 " + kCreated + ":4"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3"));
    runner->respond(kRemoteList, 0, lines("backup/data", "daily_20240304070809:3 " + kCreated + ":4"));
    runner->respond(kMarksAndSnapshots, 0,
                    lines("tank/data", kCreated + ":4") + lines("tank/data", "zfsrep_7_20240304070809:3", "#"));
    runner->respond("zfs bookmark", 1, "", "cannot create bookmark 'tank/data#zfsrep_7_20240305070809': out of space\n");
    runner->queueStage(moving(500));
    ASSERT_TRUE(driver.sendPool(journals, mission()));
    EXPECT_TRUE(runner->runLines().filter("zfs destroy tank/data#").isEmpty());
    EXPECT_TRUE(journals.errmsg().isEmpty()) << journals.errmsg().toStdString();
    EXPECT_TRUE(QJsonDocument(journals.segments()).toJson().contains("out of space"));
}

TEST_F(BookmarkRuns, ALostBaseIsContinuedFromItsBookmark)
{
    runner->respond(kLocalList, 0, lines("tank/data", kCreated + ":5"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "a:1 b:2"));
    runner->respondOnce(kRemoteList, 0, lines("backup/data", "a:1 b:2"));
    runner->respond(kBookmarks, 0, lines("tank/data", "zfsrep_7_b:2 other:1", "#"));
    runner->respond(kRemoteOne, 0, datasetListing("backup/data", "a:1 b:2 " + kCreated + ":5"));
    runner->respond(kRemoteList, 0, lines("backup/data", "a:1 b:2 " + kCreated + ":5"));
    runner->queueStage(moving(300));
    ASSERT_TRUE(driver.sendPool(journals, mission())) << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->runLines().contains("zfs send -nvP -w -i tank/data#zfsrep_7_b tank/data@" + kCreated));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 1);
    EXPECT_TRUE(stages.at(0).startsWith("zfs send -w -i 'tank/data#zfsrep_7_b' tank/data@" + kCreated + " | "))
        << stages.at(0).toStdString();
    const ReplicationResult noted = driver.lastReplication();
    EXPECT_EQ(noted.kind, "incremental");
    EXPECT_EQ(noted.base, "#zfsrep_7_b");
    EXPECT_EQ(noted.target, kCreated);
}

TEST_F(BookmarkRuns, WithoutABookmarkTheRunIsRefusedSayingWhy)
{
    runner->respond(kLocalList, 0, lines("tank/data", kCreated + ":5"));
    runner->respond(kRemoteList, 0, lines("backup/data", "a:1 b:2"));
    runner->respond(kBookmarks, 0, lines("tank/data", "zfsrep_7_a:1", "#"));
    EXPECT_FALSE(driver.sendPool(journals, mission()));
    EXPECT_TRUE(pipelines().isEmpty()) << "nothing sent, nothing overwritten";
    EXPECT_TRUE(journals.errmsg().contains("its newest, b, is gone from the source and no bookmark holds it"))
        << journals.errmsg().toStdString();
    EXPECT_TRUE(runner->runLines().contains("zfs destroy -r tank/data@" + kCreated)) << "the run's snapshot goes again";
}

TEST_F(BookmarkRuns, AFailedBookmarkListingLeavesThePlannersRefusal)
{
    runner->respond(kLocalList, 0, lines("tank/data", kCreated + ":5"));
    runner->respond(kRemoteList, 0, lines("backup/data", "a:1 b:2"));
    runner->respond(kBookmarks, 1, "", "internal error: out of memory\n");
    EXPECT_FALSE(driver.sendPool(journals, mission()));
    EXPECT_TRUE(pipelines().isEmpty());
    EXPECT_TRUE(journals.errmsg().contains("no bookmark holds it")) << journals.errmsg().toStdString();
    EXPECT_TRUE(QJsonDocument(journals.segments()).toJson().contains("out of memory"));
}

TEST_F(BookmarkRuns, ARemovedMissionsBookmarksAreDestroyedOthersStay)
{
    runner->respond(kBookmarks, 0,
                    lines("tank/data", "zfsrep_7_20240304070809:3 zfsrep_71_20240304070809:3 mine:3", "#")
                        + lines("tank/data/kid", "zfsrep_7_20240304070809:13", "#"));
    const RunServices s = services();
    MissionCleanup(s).clean(Mission::fromRow(mission()));
    const QStringList destroyed = runner->runLines().filter("zfs destroy");
    EXPECT_EQ(destroyed, (QStringList{"zfs destroy tank/data#zfsrep_7_20240304070809",
                                      "zfs destroy tank/data/kid#zfsrep_7_20240304070809"}));

    // A tree that is gone has no bookmark to destroy; any other failure is one.
    auto gone = std::make_shared<FakeRunner>();
    gone->respond(kBookmarks, 1, "", "cannot open 'tank/data': dataset does not exist\n");
    const ReplicationSide side(*gone);
    TQ2Journals journals;
    QStringList names;
    EXPECT_TRUE(BaseBookmarks(side, 7).dropAll(journals, "tank/data", names));
    auto failing = std::make_shared<FakeRunner>();
    failing->respond(kBookmarks, 1, "", "internal error: out of memory\n");
    const ReplicationSide broken(*failing);
    EXPECT_FALSE(BaseBookmarks(broken, 7).dropAll(journals, "tank/data", names));
    EXPECT_TRUE(journals.errmsg().contains("out of memory"));
}
