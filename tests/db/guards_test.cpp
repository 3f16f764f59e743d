// What opening and upgrading guarantee before anything is served from a
// database: its files (main, -wal, -shm) are readable by the owner only from
// their first byte, whatever the umask, and a schema upgrade takes the write
// lock before it reads the version, reporting why when it cannot.
#include "dbtesthelpers.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

const char kVersion1Creator[] =
    "CREATE TABLE sys_configure (cfg_no INTEGER PRIMARY KEY AUTOINCREMENT, cfg_key VARCHAR(250),"
    " cfg_value VARCHAR(250));\n"
    "INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Version', '1');\n"
    "CREATE TABLE t_mission (msn_no INTEGER PRIMARY KEY AUTOINCREMENT, msn_caption TEXT DEFAULT '');";

mode_t modeOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

struct UmaskGuard {
    explicit UmaskGuard(mode_t mask) : saved(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved); }
    mode_t saved;
};

class Guards : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString dbPath() const { return dir.filePath("zfsrep.db"); }
    void createVersion1()
    {
        const QString creator = dir.filePath("v1.sql");
        ASSERT_TRUE(dbtest::writeText(creator, kVersion1Creator));
        TQ2DBSqlite maker;
        maker.loadSqlCreator(creator);
        ASSERT_TRUE(maker.open(dbPath()));
    }
    QTemporaryDir dir;
};

TEST_F(Guards, NewDatabaseFilesAreOwnerOnlyWhateverTheUmask)
{
    const UmaskGuard open(0); // SQLite alone would create 0644 files
    TQ2DBSqlite db;
    ASSERT_TRUE(db.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource())) << qPrintable(db.lastError());
    for (const char *suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        const QString file = dbPath() + suffix;
        ASSERT_TRUE(QFileInfo::exists(file)) << "write-ahead logging is on";
        EXPECT_EQ(modeOf(file), mode_t(0600));
    }
}

TEST_F(Guards, AnExistingFileOthersCanReadIsNarrowedBeforeItIsOpened)
{
    {
        TQ2DBSqlite db;
        ASSERT_TRUE(db.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource()));
    }
    ASSERT_FALSE(QFileInfo::exists(dbPath() + "-wal")) << "a clean close removes the log";
    ASSERT_EQ(::chmod(QFile::encodeName(dbPath()).constData(), 0644), 0);
    const UmaskGuard open(0);
    TQ2DBSqlite db;
    ASSERT_TRUE(db.open(dbPath()));
    ASSERT_EQ(db.dbVersion(), 5);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        EXPECT_EQ(modeOf(dbPath() + suffix), mode_t(0600));
    }
}

TEST_F(Guards, ALinkWhereTheNewFileGoesIsNotFollowed)
{
    const QString target = dir.filePath("elsewhere.db");
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(dbPath()).constData()), 0);
    TQ2DBSqlite db;
    EXPECT_FALSE(db.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource()));
    EXPECT_TRUE(db.lastError().startsWith("cannot create " + dbPath() + ": ")) << qPrintable(db.lastError());
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(QFileInfo(dbPath()).isSymLink()) << "the link was replaced";
}

TEST_F(Guards, AnUpgradeBlockedByAnotherWriterFailsAndSaysWhy)
{
    createVersion1();
    TQ2DBSqlite holder;
    ASSERT_TRUE(holder.openOnly(dbPath()));
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(holder.exec(changes, lastId, "BEGIN IMMEDIATE;")) << qPrintable(holder.lastError());

    TQ2DBSqlite db;
    ASSERT_TRUE(db.openOnly(dbPath()));
    ASSERT_TRUE(db.loadSqlEngine(dbtest::engineResource()));
    EXPECT_FALSE(db.dbUpgrades()); // after the busy time-out
    EXPECT_EQ(db.upgradeFailure(), "schema upgrade from version 1 failed: database is locked");
    EXPECT_EQ(db.dbVersion(), 1);

    ASSERT_TRUE(holder.exec(changes, lastId, "ROLLBACK;"));
    EXPECT_TRUE(db.dbUpgrades());
    EXPECT_TRUE(db.upgradeFailure().isEmpty());
    EXPECT_EQ(db.dbVersion(), 5);
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_TRUE(db.upgradeFailure().isEmpty()) << "nothing pending is no failure";
}

TEST_F(Guards, TwoUpgradersAtOnceUpgradeOnce)
{
    createVersion1();
    TQ2DBSqlite first;
    TQ2DBSqlite second;
    for (TQ2DBSqlite *db : {&first, &second}) {
        ASSERT_TRUE(db->openOnly(dbPath()));
        ASSERT_TRUE(db->loadSqlEngine(dbtest::engineResource()));
    }
    std::atomic<int> upgraded{0};
    std::atomic<bool> go{false};
    auto upgrade = [&](TQ2DBSqlite *db) {
        while (!go.load())
            std::this_thread::yield();
        upgraded += db->dbUpgrades() ? 1 : 0;
    };
    std::thread a(upgrade, &first);
    std::thread b(upgrade, &second);
    go.store(true);
    a.join();
    b.join();
    EXPECT_EQ(upgraded.load(), 1);
    EXPECT_TRUE(first.upgradeFailure().isEmpty()) << qPrintable(first.upgradeFailure());
    EXPECT_TRUE(second.upgradeFailure().isEmpty()) << qPrintable(second.upgradeFailure());
    EXPECT_EQ(first.dbVersion(), 5);
    EXPECT_EQ(dbtest::columnsOf(first, "t_mission"),
              (QStringList{"msn_no|INTEGER|-", "msn_caption|TEXT|''", "msn_finishedtime|TEXT|''",
                           "msn_snapname|TEXT|''", "msn_ratelimit|INTEGER|0",
                           "msn_keepsource|TEXT|''", "msn_keeptarget|TEXT|''", "msn_carry|TEXT|''",
                           "msn_hook|TEXT|''"}));
}

TEST_F(Guards, AnUnreadableVersionIsAFailedUpgrade)
{
    const QString text = dir.filePath("text.db");
    ASSERT_TRUE(dbtest::writeText(text, "this is not a database file, just text\n"));
    TQ2DBSqlite db;
    ASSERT_TRUE(db.open(text)); // SQLite reads the header lazily
    ASSERT_TRUE(db.loadSqlEngine(dbtest::engineResource()));
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_EQ(db.upgradeFailure(), "cannot read the schema version: file is not a database");
}

} // namespace
