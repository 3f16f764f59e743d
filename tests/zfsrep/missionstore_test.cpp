// The mission store's caption index: duplicates in any letter case refused,
// older databases (without the index, or holding captions that differ only
// in letter case) still open and keep their missions, and the files that
// hold the passwords stay owner-only.
#include "fakerunner.h"
#include "mxzfsrep.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

class MissionStore : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString path() const { return dir.filePath("etc/zfs/zfsrep.db"); }

    std::unique_ptr<MXZfsrep> startEngine()
    {
        auto engine = std::make_unique<MXZfsrep>();
        engine->setRunner(std::make_shared<FakeRunner>());
        engine->setDatabasePath(path());
        engine->events().open(dir.filePath("log/tarnlog.db"));
        TQ2Journals journals;
        EXPECT_TRUE(engine->loadConfigure(journals, QJsonObject()));
        return engine;
    }

    static QJsonObject mission(const QString &caption)
    {
        return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"}};
    }

    // A database as an older service left it: no caption index, and the
    // given captions stored as they are.
    void writeOldDatabase(const QStringList &captions)
    {
        TQ2DBSqlite old;
        ASSERT_TRUE(old.open(path(), ":/k7zfsrep/engine.sql", ":/k7zfsrep/creator.sql"));
        int changes = 0;
        int lastId = 0;
        ASSERT_TRUE(old.exec(changes, lastId, "DROP INDEX t_mission_caption__unique;"));
        // A plain insert, as a service before the caption test wrote rows.
        for (const QString &caption : captions)
            ASSERT_TRUE(old.exec(changes, lastId, "INSERT INTO t_mission (msn_caption, msn_action) VALUES (:caption, 1);",
                                 QJsonObject{{"caption", caption}}));
    }

    static QStringList indexes(MXZfsrep &engine)
    {
        int changes = 0;
        int lastId = 0;
        QList<QJsonObject> rows;
        engine.db().exec(changes, lastId, rows,
                         "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 't_mission' ORDER BY name;");
        QStringList names;
        for (const QJsonObject &row : rows)
            names << row.value("name").toString();
        return names;
    }

    static int missionCount(MXZfsrep &engine)
    {
        QJsonObject result;
        TQ2Journals journals;
        EXPECT_TRUE(engine.listing().list(journals, result, 1, 99999999));
        return result.value("records").toArray().size();
    }

    QTemporaryDir dir;
};

TEST_F(MissionStore, DuplicateCaptionIsRefusedInAnyLetterCase)
{
    auto engine = startEngine();
    TQ2Journals journals;
    ASSERT_TRUE(engine->appendMission(journals, mission("Nightly Offsite")));
    const QStringList refused{"Nightly Offsite", "NIGHTLY OFFSITE", "nightly offsite", "nIGHTLY oFFSITE"};
    for (const QString &caption : refused) {
        SCOPED_TRACE(qPrintable(caption));
        TQ2Journals again;
        EXPECT_TRUE(engine->missions().exists(again, caption));
        EXPECT_FALSE(engine->appendMission(again, mission(caption)));
        EXPECT_EQ(again.err(), TQ2Error::ERR_EXISTS);
    }
    const QStringList accepted{"Nightly Offsite 2", "Nightly  Offsite", "Nightly Offsite "};
    for (const QString &caption : accepted) {
        SCOPED_TRACE(qPrintable(caption));
        TQ2Journals other;
        EXPECT_FALSE(engine->missions().exists(other, caption));
        EXPECT_TRUE(engine->appendMission(other, mission(caption)));
    }
    EXPECT_EQ(missionCount(*engine), 4);
}

// Letter case is folded for ASCII only, as SQLite's UPPER does: "É" and "é"
// are different captions.
TEST_F(MissionStore, OnlyAsciiLettersFoldCase)
{
    auto engine = startEngine();
    TQ2Journals journals;
    ASSERT_TRUE(engine->appendMission(journals, mission(QString::fromUtf8("Été"))));
    EXPECT_TRUE(engine->missions().exists(journals, QString::fromUtf8("ÉTé")));
    EXPECT_FALSE(engine->missions().exists(journals, QString::fromUtf8("ÉTÉ")));
    EXPECT_TRUE(engine->appendMission(journals, mission(QString::fromUtf8("été"))));
}

TEST_F(MissionStore, NewDatabaseHasTheUniqueIndex)
{
    auto engine = startEngine();
    EXPECT_EQ(indexes(*engine), QStringList{"t_mission_caption__unique"});
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(engine->db().call(changes, lastId, "mission_append", mission("A")));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(engine->db().call(changes, lastId, "mission_append", mission("a")));
    EXPECT_EQ(changes, 0) << "the append statement stores no second caption";
    EXPECT_FALSE(engine->db().exec(changes, lastId, "INSERT INTO t_mission (msn_caption) VALUES ('a');"))
        << "the index itself refuses a second caption, even past the statement's test";
}

TEST_F(MissionStore, OlderDatabaseGetsTheIndexAndKeepsItsMissions)
{
    writeOldDatabase({"One", "Two", "Three"});
    auto engine = startEngine();
    EXPECT_EQ(indexes(*engine), QStringList{"t_mission_caption__unique"});
    EXPECT_EQ(missionCount(*engine), 3);
    TQ2Journals journals;
    EXPECT_FALSE(engine->appendMission(journals, mission("TWO")));
}

TEST_F(MissionStore, DatabaseWithCaseDuplicatesStillOpensAndKeepsThem)
{
    writeOldDatabase({"Weekly", "WEEKLY", "Other"});
    auto engine = startEngine();
    EXPECT_EQ(missionCount(*engine), 3);
    EXPECT_EQ(indexes(*engine), QStringList{"t_mission_caption__index"}) << "the lookup index, not unique";
    TQ2Journals journals;
    EXPECT_TRUE(engine->missions().exists(journals, "weekly"));
    EXPECT_FALSE(engine->appendMission(journals, mission("weekly")));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXISTS);

    // Once the duplicate is gone, the next start makes the index unique.
    QJsonObject result;
    ASSERT_TRUE(engine->listing().list(journals, result, 1, 99999999));
    ASSERT_TRUE(engine->removeMission(journals, result.value("records").toArray().at(1).toObject().value("msnno").toInt()));
    engine.reset();
    auto restarted = startEngine();
    EXPECT_EQ(indexes(*restarted), QStringList{"t_mission_caption__unique"});
    EXPECT_EQ(missionCount(*restarted), 2);
}

TEST_F(MissionStore, DatabaseAndItsLogAreOwnerOnly)
{
    auto engine = startEngine();
    TQ2Journals journals;
    ASSERT_TRUE(engine->appendMission(journals, mission("Secret")));
    for (const QString &file : {path(), path() + "-wal"}) {
        SCOPED_TRACE(qPrintable(file));
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "the passwords are in it";
    }
}

} // namespace
