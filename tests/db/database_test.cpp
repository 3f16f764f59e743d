// Opening and creating database files, the schema the shipped creator makes,
// transactions, upgrades and the layer's own failure messages.
#include "dbtesthelpers.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace {

// A version-1 database: the configuration table and a mission table without
// the columns that later versions add.
const char kVersion1Creator[] =
    "CREATE TABLE sys_configure (cfg_no INTEGER PRIMARY KEY AUTOINCREMENT, cfg_key VARCHAR(250),"
    " cfg_value VARCHAR(250));\n"
    "INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Version', '1');\n"
    "CREATE TABLE t_mission (msn_no INTEGER PRIMARY KEY AUTOINCREMENT, msn_caption TEXT DEFAULT '');\n"
    "INSERT INTO t_mission (msn_caption) VALUES ('kept');";

class Database : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString file(const char *name, const QString &text)
    {
        const QString path = dir.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(dbtest::writeText(path, text));
        return path;
    }
    QString dbPath() const { return dir.filePath("zfsrep.db"); }
    QTemporaryDir dir;
    TQ2DBSqlite db;
};

mode_t modeOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

TEST_F(Database, CreatesTheShippedSchema)
{
    bool created = false;
    ASSERT_TRUE(db.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource(), &created))
        << qPrintable(db.lastError());
    EXPECT_TRUE(created);
    EXPECT_EQ(db.path(), dbPath());
    EXPECT_EQ(db.sqlEngine().size(), 69);

    EXPECT_EQ(dbtest::columnsOf(db, "sys_configure"),
              (QStringList{"cfg_no|INTEGER|-", "cfg_userno|INTEGER|-", "cfg_key|VARCHAR(250)|-",
                           "cfg_type|INTEGER|-", "cfg_value|VARCHAR(250)|-",
                           "cfg_stamp|VARCHAR(20)|-", "cfg_description|VARCHAR(250)|-"}));
    const QString now = "DATETIME(CURRENT_TIMESTAMP, 'localtime')";
    EXPECT_EQ(dbtest::columnsOf(db, "t_mission"),
              (QStringList{"msn_no|INTEGER|-", "msn_time|DATETIME|" + now, "msn_done|INTEGER|0",
                           "msn_caption|TEXT|''", "msn_action|INTEGER|0", "msn_pool|TEXT|''",
                           "msn_name|TEXT|''", "msn_path|TEXT|''", "msn_host|TEXT|''",
                           "msn_port|TEXT|''", "msn_userid|TEXT|''", "msn_passwd|TEXT|''",
                           "msn_increment|INTEGER|0", "msn_erase|INTEGER|0",
                           "msn_encrypt|INTEGER|0", "msn_encryptkey|INTEGER|0",
                           "msn_schedules|TEXT|'[]'", "msn_finishedtime|TEXT|''",
                           "msn_snapname|TEXT|''", "msn_ratelimit|INTEGER|0",
                           "msn_keepsource|TEXT|''", "msn_keeptarget|TEXT|''", "msn_carry|TEXT|''",
                           "msn_hook|TEXT|''"}));
    EXPECT_EQ(dbtest::columnsOf(db, "t_run"),
              (QStringList{"run_no|INTEGER|-", "run_msnno|INTEGER|0", "run_caption|TEXT|''",
                           "run_action|INTEGER|0", "run_kind|TEXT|''", "run_started|INTEGER|0",
                           "run_ended|INTEGER|0", "run_outcome|TEXT|'running'", "run_error|TEXT|''",
                           "run_bytes|INTEGER|0", "run_rate|INTEGER|0", "run_base|TEXT|''",
                           "run_target|TEXT|''", "run_notified|INTEGER|0", "run_file|TEXT|''",
                           "run_prunedsource|INTEGER|0", "run_prunedtarget|INTEGER|0"}));
    EXPECT_EQ(dbtest::columnsOf(db, "t_runstate"),
              (QStringList{"rst_no|INTEGER|-", "rst_time|DATETIME|" + now, "rst_dmpath|TEXT|-",
                           "rst_mode|INTEGER|-", "rst_succeed|INTEGER|-"}));
    QStringList logger;
    for (const char *c : {"no|INTEGER", "time|TEXT", "protocol|INTEGER", "token|TEXT", "system|TEXT",
                          "app|TEXT", "module|TEXT", "method|TEXT", "userid|TEXT", "remote|TEXT",
                          "level|INTEGER", "keywords|TEXT", "content|TEXT", "description|TEXT",
                          "request|TEXT", "respond|TEXT", "environment|TEXT", "err|INTEGER",
                          "succeed|INTEGER", "symbol|TEXT", "params|TEXT"})
        logger << QStringLiteral("log_%1|-").arg(QString::fromLatin1(c));
    EXPECT_EQ(dbtest::columnsOf(db, "t_logger"), logger);

    // The mission key and the autoincrement counters are all SQLite holds.
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT group_concat(name) AS n FROM "
                                 "(SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name);")
                  .value(0).value("n"),
              "sqlite_sequence,sys_configure,t_logger,t_mission,t_run,t_runstate");
    const QList<QJsonObject> indexes = dbtest::rowsOf(db, "PRAGMA index_list(sys_configure);");
    ASSERT_EQ(indexes.size(), 1);
    EXPECT_EQ(indexes[0].value("name"), "sys_configure_cfg_key__index");
    EXPECT_EQ(indexes[0].value("unique"), 1);
    const QList<QJsonObject> indexed = dbtest::rowsOf(db, "PRAGMA index_xinfo(sys_configure_cfg_key__index);");
    ASSERT_FALSE(indexed.isEmpty());
    EXPECT_EQ(indexed[0].value("name"), "cfg_key");
    EXPECT_EQ(indexed[0].value("desc"), 0);

    QList<QJsonObject> rows;
    ASSERT_TRUE(db.call(rows, "configure_alload", {}));
    ASSERT_EQ(rows.size(), 5);
    const QString firstDate = rows[0].value("value").toString();
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(firstDate).hasMatch())
        << qPrintable(firstDate);
    rows.removeFirst();
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"key", "Database.Id"}, {"value", "K7ZFSBDR"}},
                                        {{"key", "Database.Version"}, {"value", "5"}},
                                        {{"key", "System.Id"}, {"value", "K7ZFSBDR"}},
                                        {{"key", "System.Version"}, {"value", "1"}}}));
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT * FROM sys_configure WHERE cfg_key = 'Database.Version' LIMIT 1;")
                  .value(0).keys(),
              (QStringList{"cfg_key", "cfg_no", "cfg_value"}));
    EXPECT_EQ(db.dbVersion(), 5);
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_EQ(db.dbVersion(), 5);
}

TEST_F(Database, ReopeningKeepsDataAndDoesNotRecreate)
{
    db.loadSqlCreator(dbtest::creatorResource());
    ASSERT_TRUE(db.open(dbPath()));
    ASSERT_TRUE(db.loadSqlEngine(dbtest::engineResource()));
    ASSERT_TRUE(db.call("configure_change", {{"key", "System.Id"}, {"value", "changed"}}));
    db.close();
    EXPECT_EQ(db.path(), dbPath()); // close keeps the path
    EXPECT_FALSE(db.call("configure_alload", {}));

    bool created = false;
    ASSERT_TRUE(db.open(dbPath(), &created));
    EXPECT_FALSE(created);
    QList<QJsonObject> rows;
    ASSERT_TRUE(db.call(rows, "configure_get", {{"key", "System.Id"}}));
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"value", "changed"}}}));
}

TEST_F(Database, FailedCreationDeletesTheNewFile)
{
    const struct {
        const char *name;
        const char *creator; // nullptr: no creator text kept
        const char *error;
    } cases[] = {
        {"no creator text", nullptr, "Not found creator ddl"},
        {"creator does not compile", "CREATE TABLE broken (;", "near \";\": syntax error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TQ2DBSqlite fresh;
        if (c.creator)
            fresh.loadSqlCreator(file("creator.sql", c.creator));
        bool created = false;
        EXPECT_FALSE(fresh.open(dbPath(), &created));
        EXPECT_FALSE(created);
        EXPECT_EQ(fresh.lastError(), c.error);
        EXPECT_FALSE(QFile::exists(dbPath()));
        EXPECT_FALSE(fresh.isOpen());
        EXPECT_TRUE(fresh.path().isEmpty());
    }
    // The engine-loading form judges the creator by its path.
    EXPECT_FALSE(db.open(dbPath(), dbtest::engineResource(), QString()));
    EXPECT_EQ(db.lastError(), "Not found creator ddl");
    EXPECT_FALSE(QFile::exists(dbPath()));
    EXPECT_TRUE(db.sqlEngine().isEmpty()); // no engine load after a failed open
    EXPECT_FALSE(db.open(QString(), dbtest::engineResource(), dbtest::creatorResource()));
    EXPECT_FALSE(db.open(QString()));
}

TEST_F(Database, FileSqliteCannotOpenFailsAndKeepsTheMessage)
{
    db.loadSqlCreator(dbtest::creatorResource());
    ASSERT_TRUE(db.open(dbPath()));
    const QString notADatabase = file("text.db", "this is not a database file, just text\n");
    EXPECT_TRUE(db.open(notADatabase)); // SQLite reads the header lazily
    EXPECT_EQ(db.dbVersion(), 0);
    EXPECT_EQ(db.lastError(), "file is not a database");
    EXPECT_FALSE(db.open(dir.path())); // a directory
    EXPECT_FALSE(db.isOpen());
    EXPECT_TRUE(db.path().isEmpty());
    EXPECT_EQ(db.lastError(), "file is not a database");
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
}

TEST_F(Database, OpenOnlyNeverCreates)
{
    EXPECT_FALSE(db.openOnly(dbPath()));
    EXPECT_FALSE(QFile::exists(dbPath()));
    EXPECT_FALSE(db.isOpen());

    db.loadSqlCreator(dbtest::creatorResource());
    ASSERT_TRUE(db.open(dbPath()));
    TQ2DBSqlite other;
    ASSERT_TRUE(other.openOnly(dbPath()));
    EXPECT_EQ(other.path(), dbPath());
    EXPECT_EQ(other.dbVersion(), 5);
}

TEST_F(Database, PreparesTheDirectoryOfANewFile)
{
    // The umask would leave new directories at 700; chmod must set 755.
    struct UmaskGuard {
        mode_t saved = ::umask(077);
        ~UmaskGuard() { ::umask(saved); }
    } umaskGuard;
    db.loadSqlCreator(dbtest::creatorResource());

    const QString missing = dir.filePath("a/b");
    ASSERT_TRUE(db.open(missing + "/zfsrep.db"));
    EXPECT_EQ(modeOf(missing), mode_t(0755));

    const QString existing = dir.filePath("existing");
    ASSERT_EQ(::mkdir(QFile::encodeName(existing).constData(), 0700), 0);
    ASSERT_TRUE(db.open(existing + "/zfsrep.db"));
    EXPECT_EQ(modeOf(existing), mode_t(0755)); // a new file: mode set anyway

    ASSERT_EQ(::chmod(QFile::encodeName(existing).constData(), 0700), 0);
    ASSERT_TRUE(db.open(existing + "/zfsrep.db"));
    EXPECT_EQ(modeOf(existing), mode_t(0700)); // an existing file: left alone
}

TEST_F(Database, TransactionsCoverStatementsUntilTheyEnd)
{
    EXPECT_FALSE(db.transactionBegin()); // closed
    ASSERT_TRUE(db.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource()));
    ASSERT_TRUE(db.transactionBegin());
    ASSERT_TRUE(db.call("configure_append", {{"key", "temp"}, {"value", "1"}}));
    ASSERT_TRUE(db.transactionRollback());
    EXPECT_TRUE(dbtest::rowsOf(db, "SELECT * FROM sys_configure WHERE cfg_key = 'temp';").isEmpty());

    ASSERT_TRUE(db.transactionBegin());
    ASSERT_TRUE(db.call("configure_append", {{"key", "kept"}, {"value", "1"}}));
    ASSERT_TRUE(db.transactionCommit());
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT * FROM sys_configure WHERE cfg_key = 'kept';").size(), 1);

    EXPECT_FALSE(db.transactionCommit());
    EXPECT_EQ(db.lastError(), "cannot commit - no transaction is active");
}

TEST_F(Database, UnknownIdAndMixedCaseIdAreNotFound)
{
    db.loadSqlCreator(dbtest::creatorResource());
    ASSERT_TRUE(db.open(dbPath()));
    ASSERT_TRUE(db.loadSqlEngine(file("e.sql", "SQL: Mixed_Case\nSELECT 1 AS one;")));
    for (const char *id : {"Mixed_Case", "nope", ""}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(db.call(id, {}));
        EXPECT_EQ(db.lastError(), QStringLiteral("sqlid not found: ") + id);
        EXPECT_EQ(db.lastSqlid(), id);
    }
    QJsonArray rows{QJsonObject{{"earlier", true}}};
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.call(changes, lastId, rows, "mixed_case", {}));
    EXPECT_EQ(rows, (QJsonArray{QJsonObject{{"earlier", true}}, QJsonObject{{"one", 1}}}));
    EXPECT_EQ(db.lastSqlid(), "mixed_case");
    EXPECT_EQ(db.lastError(), "sqlid not found: "); // a success does not clear it
}

class Upgrade : public Database
{
protected:
    void openVersion1(const QString &creator)
    {
        db.loadSqlCreator(file("v1.sql", creator));
        ASSERT_TRUE(db.open(dbPath()));
        ASSERT_TRUE(db.loadSqlEngine(dbtest::engineResource()));
        ASSERT_EQ(db.dbVersion(), 1);
    }
};

TEST_F(Upgrade, BringsVersion1To5InOneTransaction)
{
    openVersion1(kVersion1Creator);
    EXPECT_TRUE(db.dbUpgradable(1));
    EXPECT_TRUE(db.dbUpgradable(2));
    EXPECT_TRUE(db.dbUpgradable(3));
    EXPECT_TRUE(db.dbUpgradable(4));
    EXPECT_FALSE(db.dbUpgradable(5));

    EXPECT_TRUE(db.dbUpgrades());
    EXPECT_EQ(db.dbVersion(), 5);
    EXPECT_EQ(dbtest::columnsOf(db, "t_mission"),
              (QStringList{"msn_no|INTEGER|-", "msn_caption|TEXT|''", "msn_finishedtime|TEXT|''",
                           "msn_snapname|TEXT|''", "msn_ratelimit|INTEGER|0",
                           "msn_keepsource|TEXT|''", "msn_keeptarget|TEXT|''", "msn_carry|TEXT|''",
                           "msn_hook|TEXT|''"}));
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT * FROM t_mission;"),
              (QList<QJsonObject>{{{"msn_no", 1}, {"msn_caption", "kept"}, {"msn_finishedtime", ""},
                                   {"msn_snapname", ""}, {"msn_ratelimit", 0},
                                   {"msn_keepsource", ""}, {"msn_keeptarget", ""}, {"msn_carry", ""},
                                   {"msn_hook", ""}}}));
    EXPECT_FALSE(dbtest::columnsOf(db, "t_run").isEmpty());
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_EQ(db.dbVersion(), 5);
}

TEST_F(Upgrade, FailingStepRollsBackEveryStepOfTheRun)
{
    // msn_snapname already exists, so the second step fails.
    openVersion1(QString::fromLatin1(kVersion1Creator)
                     + "\nALTER TABLE t_mission ADD COLUMN msn_snapname TEXT;");
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_EQ(db.lastError(), "duplicate column name: msn_snapname");
    EXPECT_EQ(db.lastSqlid(), "dbupgrade_v2_1");
    EXPECT_EQ(db.dbVersion(), 1);
    EXPECT_FALSE(dbtest::columnsOf(db, "t_mission").join(',').contains("msn_finishedtime"));
    EXPECT_TRUE(db.transactionBegin()); // nothing left open
    EXPECT_TRUE(db.transactionRollback());
}

TEST_F(Upgrade, SingleVersionStep)
{
    openVersion1(kVersion1Creator);
    EXPECT_FALSE(db.dbUpgrade(4)); // no steps
    EXPECT_EQ(db.dbVersion(), 1);
    EXPECT_TRUE(db.dbUpgrade(1));
    EXPECT_EQ(db.dbVersion(), 2);
    const QString columns = dbtest::columnsOf(db, "t_mission").join(',');
    EXPECT_TRUE(columns.contains("msn_finishedtime"));
    EXPECT_FALSE(columns.contains("msn_snapname"));
}

TEST_F(Upgrade, VersionWithoutStepOneStops)
{
    openVersion1(kVersion1Creator);
    ASSERT_TRUE(db.loadSqlEngine(file("e.sql", "SQL: dbupgrade_v1_2\nSELECT 1;")));
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_FALSE(db.dbUpgrade(1));
    EXPECT_EQ(db.dbVersion(), 1);
}

TEST_F(Upgrade, NoStoredVersionIsNoUpgrade)
{
    openVersion1(kVersion1Creator);
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "DELETE FROM sys_configure;"));
    EXPECT_EQ(db.dbVersion(), 0);
    EXPECT_FALSE(db.dbUpgrades());
    EXPECT_FALSE(db.dbUpgrade(1)); // steps run, but no version row to move
    EXPECT_FALSE(dbtest::columnsOf(db, "t_mission").join(',').contains("msn_finishedtime"));
}

TEST_F(Database, DetachedCallsFinishBeforeDestruction)
{
    const int calls = 20;
    {
        TQ2DBSqlite local;
        local.callDetach("configure_append", {{"key", "closed"}, {"value", "x"}}); // closed: dropped
        ASSERT_TRUE(local.open(dbPath(), dbtest::engineResource(), dbtest::creatorResource()));
        for (int i = 0; i < calls; ++i)
            local.callDetach("configure_append", {{"key", QString::number(i)}, {"value", "x"}});
    }
    ASSERT_TRUE(db.openOnly(dbPath()));
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT count(*) AS c FROM sys_configure WHERE cfg_value = 'x';")
                  .value(0).value("c"),
              calls);
}

} // namespace
