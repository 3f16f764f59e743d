// Catalogue statements compiled once and reused, and the journal settings
// every read-write connection gets.
#include "dbtesthelpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Kept : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(dbtest::writeText(dir.filePath("creator.sql"), "CREATE TABLE t (a INTEGER, b TEXT);"));
        ASSERT_TRUE(dbtest::writeText(dir.filePath("engine.sql"),
                                      "SQL: put\n"
                                      "INSERT INTO t (a, b) VALUES (:a, :b);\n"
                                      "params:\n"
                                      "a integer\n"
                                      "SQL: all\n"
                                      "SELECT * FROM t ORDER BY rowid;\n"
                                      "SQL: twice\n"
                                      "INSERT INTO t (a) VALUES (:a);\n"
                                      "INSERT INTO t (a) VALUES (:a + 1);\n"
                                      "SQL: late\n"
                                      "SELECT x FROM later;\n"
                                      "SQL: same_name\n"
                                      "SELECT 1 AS x, NULL AS x, NULL AS y, 2.5 AS z, NULL AS z;\n"));
        ASSERT_TRUE(db.open(path(), dir.filePath("engine.sql"), dir.filePath("creator.sql")))
            << qPrintable(db.lastError());
    }
    QString path() const { return dir.filePath("kept.db"); }
    QList<QJsonObject> all()
    {
        QList<QJsonObject> rows;
        EXPECT_TRUE(db.call(rows, "all", QJsonObject()));
        return rows;
    }

    QTemporaryDir dir;
    TQ2DBSqlite db;
};

TEST_F(Kept, ConnectionUsesWriteAheadLogWithFullSync)
{
    EXPECT_EQ(dbtest::rowsOf(db, "PRAGMA journal_mode;").value(0).value("journal_mode").toString(), "wal");
    EXPECT_EQ(dbtest::rowsOf(db, "PRAGMA synchronous;").value(0).value("synchronous").toInt(), 2) << "2 is FULL";
}

TEST_F(Kept, ExistingRollbackJournalFileIsSwitchedToWriteAheadLog)
{
    db.close();
    const QString old = dir.filePath("old.db");
    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(old).constData(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "PRAGMA journal_mode = DELETE; CREATE TABLE t (a INTEGER, b TEXT);"
                                "INSERT INTO t VALUES (7, 'kept');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    ASSERT_TRUE(db.open(old));
    EXPECT_EQ(dbtest::rowsOf(db, "PRAGMA journal_mode;").value(0).value("journal_mode").toString(), "wal");
    EXPECT_EQ(all(), (QList<QJsonObject>{{{"a", 7}, {"b", "kept"}}})) << "the stored rows stay";
}

// A row whose statement returned is committed: a process killed right after
// it (no close, no destructor) leaves it in the file.
TEST_F(Kept, CommittedRowsSurviveAKilledProcess)
{
    db.close();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TQ2DBSqlite writer;
        bool ok = writer.open(path(), dir.filePath("engine.sql"), QString());
        for (int a = 1; ok && a <= 50; ++a)
            ok = writer.call("put", QJsonObject{{"a", a}, {"b", "row"}});
        if (!ok)
            ::_exit(1);
        ::raise(SIGKILL);
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer failed: " << status;
    ASSERT_TRUE(db.open(path()));
    const QList<QJsonObject> rows = dbtest::rowsOf(db, "SELECT COUNT(*) AS n, SUM(a) AS s FROM t;");
    EXPECT_EQ(rows.value(0).value("n").toInt(), 50);
    EXPECT_EQ(rows.value(0).value("s").toInt(), 50 * 51 / 2);
}

TEST_F(Kept, StatementIsCompiledOnceAndForgetsEarlierValues)
{
    ASSERT_TRUE(db.call("put", QJsonObject{{"a", 1}, {"b", "first"}}));
    ASSERT_TRUE(db.call("put", QJsonObject{{"a", 2}}));
    ASSERT_TRUE(db.call("put", QJsonObject{{"b", "third"}}));
    EXPECT_EQ(all(), (QList<QJsonObject>{{{"a", 1}, {"b", "first"}}, {{"a", 2}}, {{"a", 0}, {"b", "third"}}}))
        << "b was not given the second time, so it is NULL (no key); a is declared, so 0";
    EXPECT_EQ(db.keptStatements(), 2) << "put and all";
    db.close();
    EXPECT_EQ(db.keptStatements(), 0);
}

TEST_F(Kept, EveryStatementOfAKeptTextRunsEachTime)
{
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.call(changes, lastId, "twice", QJsonObject{{"a", 10}}));
    ASSERT_TRUE(db.call(changes, lastId, "twice", QJsonObject{{"a", 20}}));
    EXPECT_EQ(lastId, 4);
    EXPECT_EQ(all(), (QList<QJsonObject>{{{"a", 10}}, {{"a", 11}}, {{"a", 20}}, {{"a", 21}}}));
}

TEST_F(Kept, KeptSelectSeesColumnsAddedLater)
{
    ASSERT_TRUE(db.call("put", QJsonObject{{"a", 1}, {"b", "x"}}));
    ASSERT_EQ(all().value(0).keys(), (QStringList{"a", "b"}));
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "ALTER TABLE t ADD COLUMN c TEXT DEFAULT 'new';"));
    EXPECT_EQ(all().value(0), (QJsonObject{{"a", 1}, {"b", "x"}, {"c", "new"}}));
}

TEST_F(Kept, TextThatDidNotCompileIsTriedAgain)
{
    EXPECT_FALSE(db.call("late", QJsonObject()));
    EXPECT_TRUE(db.lastError().contains("no such table")) << qPrintable(db.lastError());
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "CREATE TABLE later (x TEXT); INSERT INTO later VALUES ('now');"));
    QList<QJsonObject> rows;
    ASSERT_TRUE(db.call(rows, "late", QJsonObject()));
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"x", "now"}}}));
}

TEST_F(Kept, RowOfRepeatedNamesKeepsTheLastValue)
{
    QList<QJsonObject> rows;
    ASSERT_TRUE(db.call(rows, "same_name", QJsonObject()));
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"x", 1}, {"z", 2.5}}}))
        << "a NULL column adds no key and takes none away; y is NULL only";
}

} // namespace
