#include "fakerunner.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

class Missions : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine = std::make_unique<MXZfsrep>();
        engine->setRunner(std::make_shared<FakeRunner>());
        engine->setDatabasePath(dir.filePath("etc/zfs/zfsrep.db"));
        engine->events().open(dir.filePath("log/tarnlog.db"));
        engine->setClock([this] { return clockNow; });
        ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject()));
    }

    QJsonObject mission(const QString &caption, const QJsonValue &schedules = QJsonValue::Undefined)
    {
        QJsonObject m{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"}, {"path", "backup"},
                      {"host", "127.0.0.1"}, {"port", 22}, {"userid", "zr"}, {"passwd", "pw"}, {"snapname", "ZFSREP"},
                      {"increment", 1}, {"erase", true}, {"encrypt", false}, {"encryptkey", false}};
        if (!schedules.isUndefined())
            m.insert("schedules", schedules);
        return m;
    }

    QJsonArray records()
    {
        QJsonObject result;
        EXPECT_TRUE(engine->listing().list(journals, result, 1, 99999999));
        return result.value("records").toArray();
    }

    QTemporaryDir dir;
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
    QDateTime clockNow = QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20));
};

TEST_F(Missions, AppendStoresTypedFieldsAndArmsForNextPass)
{
    ASSERT_TRUE(engine->appendMission(journals, mission("Nightly")));
    const QJsonArray rows = records();
    ASSERT_EQ(rows.size(), 1);
    const QJsonObject row = rows.at(0).toObject();
    EXPECT_EQ(row.value("port"), QJsonValue("22")) << "port lives in a TEXT column";
    EXPECT_EQ(row.value("schedules"), QJsonValue(QJsonArray())) << "no schedules key is stored as []";
    EXPECT_EQ(row.value("erase").toInt(), 1);
    EXPECT_EQ(row.value("done").toInt(), 0);
    EXPECT_EQ(row.value("finishedtime").toString(), "");
    EXPECT_EQ(row.value("time").toString().size(), 19);
    const int msnno = row.value("msnno").toInt();
    EXPECT_EQ(engine->dueTable().entries().value(msnno), 1);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath("etc/zfs/zfsrep.db")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the database holds passwords";
}

TEST_F(Missions, CaptionsAreUniqueWithoutRegardToCase)
{
    ASSERT_TRUE(engine->appendMission(journals, mission("Nightly")));
    EXPECT_TRUE(engine->missions().exists(journals, "NIGHTLY"));
    EXPECT_FALSE(engine->missions().exists(journals, "weekly"));
    EXPECT_FALSE(engine->appendMission(journals, mission("nIGHTLY")));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXISTS);
    EXPECT_EQ(journals.errmsg(), QString::fromUtf8("任务名称已存在"));
    EXPECT_EQ(records().size(), 1);
}

TEST_F(Missions, ConcurrentAppendsOfOneCaptionStoreOnlyOne)
{
    constexpr int kThreads = 6;
    std::atomic<int> stored{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            TQ2Journals own;
            if (engine->appendMission(own, mission("Race")))
                ++stored;
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(stored.load(), 1);
    EXPECT_EQ(records().size(), 1);
}

TEST_F(Missions, SchedulesAreArmedFromTheInjectedClock)
{
    const QJsonArray daily = QJsonDocument::fromJson(R"([{"hours":[2],"minutes":[30]}])").array();
    ASSERT_TRUE(engine->appendMission(journals, mission("Daily", daily)));
    const int msnno = records().at(0).toObject().value("msnno").toInt();
    const QDateTime expected(QDate(2024, 3, 5), QTime(2, 30));
    EXPECT_EQ(engine->dueTable().entries().value(msnno), expected.toSecsSinceEpoch());
    EXPECT_EQ(records().at(0).toObject().value("schedules").toArray(), daily);
}

TEST_F(Missions, ChangeKeepsCaptionAndRearms)
{
    ASSERT_TRUE(engine->appendMission(journals, mission("Keep")));
    const int msnno = records().at(0).toObject().value("msnno").toInt();
    QJsonObject changed = mission("Other name");
    changed.insert("msnno", msnno);
    changed.insert("path", "elsewhere");
    changed.insert("schedules", QJsonDocument::fromJson(R"([{"minutes":[0]}])").array());
    ASSERT_TRUE(engine->changeMission(journals, changed));
    const QJsonObject row = records().at(0).toObject();
    EXPECT_EQ(row.value("caption").toString(), "Keep");
    EXPECT_EQ(row.value("path").toString(), "elsewhere");
    EXPECT_EQ(engine->dueTable().entries().value(msnno), QDateTime(QDate(2024, 3, 4), QTime(11, 0)).toSecsSinceEpoch());

    // A number that does not exist: nothing changed, so it is refused and
    // nothing is armed.
    QJsonObject ghost = mission("Ghost");
    ghost.insert("msnno", 777);
    EXPECT_FALSE(engine->changeMission(journals, ghost));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_NOT_EXISTS);
    EXPECT_EQ(journals.errmsg(), QString::fromUtf8("任务名称不存在"));
    EXPECT_FALSE(engine->dueTable().entries().contains(777));
}

TEST_F(Missions, RemoveDisarmsAndReportsMissingNumbers)
{
    ASSERT_TRUE(engine->appendMission(journals, mission("Gone")));
    const int msnno = records().at(0).toObject().value("msnno").toInt();
    ASSERT_TRUE(engine->removeMission(journals, msnno));
    EXPECT_FALSE(engine->dueTable().entries().contains(msnno));
    EXPECT_TRUE(records().isEmpty());
    EXPECT_FALSE(engine->removeMission(journals, msnno));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_NOT_EXISTS);
    EXPECT_EQ(journals.errmsg(), QString::fromUtf8("任务名称不存在"));
}

TEST_F(Missions, ListingIgnoresPaging)
{
    for (const char *caption : {"a", "b", "c"})
        ASSERT_TRUE(engine->appendMission(journals, mission(caption)));
    QJsonObject result;
    ASSERT_TRUE(engine->listing().list(journals, result, 5, 1));
    EXPECT_EQ(result.value("records").toArray().size(), 3);
    for (const QJsonValue &row : result.value("records").toArray())
        EXPECT_FALSE(row.toObject().contains("speed"));
}

TEST_F(Missions, LoadConfigureArmsPendingMissionsOnly)
{
    ASSERT_TRUE(engine->appendMission(journals, mission("pending")));
    ASSERT_TRUE(engine->appendMission(journals, mission("finished")));
    ASSERT_TRUE(engine->appendMission(journals, mission("broken")));
    const QJsonArray rows = records();
    const int pending = rows.at(0).toObject().value("msnno").toInt();
    const int finished = rows.at(1).toObject().value("msnno").toInt();
    const int broken = rows.at(2).toObject().value("msnno").toInt();
    ASSERT_TRUE(engine->db().call("mission_complete", QJsonObject{{"msnno", finished}}));
    int changes = 0, lastId = 0;
    ASSERT_TRUE(engine->db().exec(changes, lastId,
                                  QString("UPDATE t_mission SET msn_schedules = 'not json' WHERE msn_no = %1").arg(broken)));

    MXZfsrep restarted;
    restarted.setDatabasePath(dir.filePath("etc/zfs/zfsrep.db"));
    restarted.events().open(dir.filePath("log/tarnlog.db"));
    TQ2Journals fresh;
    ASSERT_TRUE(restarted.loadConfigure(fresh, QJsonObject()));
    const QHash<int, qint64> due = restarted.dueTable().entries();
    EXPECT_EQ(due.value(pending), 1);
    EXPECT_FALSE(due.contains(broken)) << "a row with unparsable schedules is not run";
    EXPECT_EQ(restarted.dueTable().problem(broken), QString::fromUtf8("参数无效: schedules: 不是列表"));
    EXPECT_TRUE(restarted.dueTable().problem(pending).isEmpty());
    EXPECT_FALSE(due.contains(finished));
}

TEST_F(Missions, UnopenableDatabaseFailsConfiguration)
{
    MXZfsrep engine2;
    engine2.setDatabasePath("/proc/version/zfsrep.db");
    TQ2Journals fresh;
    EXPECT_FALSE(engine2.loadConfigure(fresh, QJsonObject()));
    ASSERT_FALSE(fresh.segments().isEmpty());
    EXPECT_EQ(fresh.segments().at(0).toObject().value("action").toString(), "database.open()");
}

TEST_F(Missions, LogListingMergesDetailAndDropsSpareFields)
{
    engine->events().log().write("Information", "GLOG_ZFSREP_SENDPOOL: tank/data SEND backup",
                             QJsonObject{{"caption", "Nightly"}, {"action", 1}, {"result", 1}, {"level", "ignored?"}},
                             "zfsrep", "SYSTEM", "", "");
    engine->events().log().write("Information", "not ours", QJsonObject(), "vault", "SYSTEM", "", "");
    QJsonArray entries{"kept"};
    ASSERT_TRUE(engine->events().list(entries));
    ASSERT_EQ(entries.size(), 2);
    const QJsonObject entry = entries.at(1).toObject();
    EXPECT_EQ(entry.value("caption").toString(), "Nightly");
    EXPECT_EQ(entry.value("result").toInt(), 1);
    EXPECT_EQ(entry.value("level").toString(), "ignored?") << "the detail's keys win";
    EXPECT_FALSE(entry.contains("sparefield1"));
    EXPECT_FALSE(entry.contains("sparefield2"));
    EXPECT_FALSE(entry.contains("sparefield3"));
    ASSERT_TRUE(engine->events().clear());
    QJsonArray none;
    ASSERT_TRUE(engine->events().list(none));
    EXPECT_TRUE(none.isEmpty());
}

TEST_F(Missions, StoredRowsThatBreakTheRulesLoadButAreNotArmed)
{
    for (const char *caption : {"sound", "action nine", "export nowhere", "huge schedule"})
        ASSERT_TRUE(engine->appendMission(journals, mission(caption)));
    // 36,000 repeated hours (about 72 KB of JSON), as an older service stored it.
    QStringList hours;
    for (int i = 0; i < 36000; ++i)
        hours.append(QString::number(i % 24));
    const QString huge = QStringLiteral(R"([{"hours":[%1],"minutes":[0]}])").arg(hours.join(','));
    ASSERT_GT(huge.size(), 72000);
    int changes = 0, lastId = 0;
    ASSERT_TRUE(engine->db().exec(changes, lastId, "UPDATE t_mission SET msn_action = 9 WHERE msn_no = 2"));
    ASSERT_TRUE(engine->db().exec(changes, lastId,
                                  "UPDATE t_mission SET msn_action = 3, msn_path = '' WHERE msn_no = 3"));
    ASSERT_TRUE(engine->db().exec(changes, lastId,
                                  QString("UPDATE t_mission SET msn_schedules = '%1' WHERE msn_no = 4").arg(huge)));

    MXZfsrep restarted;
    restarted.setDatabasePath(dir.filePath("etc/zfs/zfsrep.db"));
    restarted.events().open(dir.filePath("log/tarnlog.db"));
    TQ2Journals fresh;
    ASSERT_TRUE(restarted.loadConfigure(fresh, QJsonObject()));
    const QHash<int, qint64> due = restarted.dueTable().entries();
    EXPECT_EQ(due.keys(), QList<int>{1});
    EXPECT_EQ(restarted.dueTable().problem(2), QString::fromUtf8("参数无效: action: 9"));
    EXPECT_EQ(restarted.dueTable().problem(3), QString::fromUtf8("缺少参数: path"));
    EXPECT_EQ(restarted.dueTable().problem(4), QString::fromUtf8("参数无效: schedules: 超过 1000 个值"));

    // The rows still list; a change that meets the rules clears the reason.
    QJsonObject result;
    ASSERT_TRUE(restarted.listing().list(fresh, result, 1, 99));
    EXPECT_EQ(result.value("records").toArray().size(), 4);
    QJsonObject fixed = mission("huge schedule", QJsonDocument::fromJson(R"([{"hours":[3],"minutes":[0]}])").array());
    fixed.insert("msnno", 4);
    ASSERT_TRUE(restarted.changeMission(fresh, fixed));
    EXPECT_TRUE(restarted.dueTable().problem(4).isEmpty());
    EXPECT_TRUE(restarted.dueTable().entries().contains(4));
}

} // namespace
