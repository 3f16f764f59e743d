// The statement executor: binding by JSON and declared type, row conversion,
// and how a text of several statements runs, stops and reports.
#include "dbtesthelpers.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QTemporaryDir>

namespace {

class Executor : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        const QString creator = dir.filePath("creator.sql");
        ASSERT_TRUE(dbtest::writeText(creator, "CREATE TABLE u (a INTEGER UNIQUE, b TEXT);\n"
                                               "CREATE TABLE n (v);"));
        db.loadSqlCreator(creator);
        ASSERT_TRUE(db.open(dir.filePath("x.db")));
    }
    QTemporaryDir dir;
    TQ2DBSqlite db;
};

TEST_F(Executor, BindsByJsonTypeThenByDeclaredType)
{
    const QJsonObject noDecl;
    const struct {
        const char *name;
        QJsonObject values;
        QJsonObject declared;
        const char *type;
        QJsonValue value; // Undefined: no key in the row
    } cases[] = {
        {"whole double", {{"v", 3.0}}, noDecl, "integer", 3},
        {"fraction", {{"v", 2.5}}, noDecl, "real", 2.5},
        {"five billion does not fit 32 bits", {{"v", 5e9}}, noDecl, "real", 5e9},
        {"largest 32-bit value", {{"v", 2147483647.0}}, noDecl, "integer", 2147483647},
        {"one above 32 bits", {{"v", 2147483648.0}}, noDecl, "real", 2147483648.0},
        {"smallest 32-bit value", {{"v", -2147483648.0}}, noDecl, "integer", -2147483647 - 1},
        {"true", {{"v", true}}, noDecl, "integer", 1},
        {"false", {{"v", false}}, noDecl, "integer", 0},
        {"text", {{"v", QString::fromUtf8("z\xc3\xa9")}}, noDecl, "text", QString::fromUtf8("z\xc3\xa9")},
        {"text that looks like a number", {{"v", "7"}}, {{"v", "integer"}}, "text", "7"},
        {"null though declared integer", {{"v", QJsonValue::Null}}, {{"v", "integer"}}, "null", QJsonValue::Undefined},
        {"array though declared integer", {{"v", QJsonArray{1}}}, {{"v", "integer"}}, "null", QJsonValue::Undefined},
        {"object", {{"v", QJsonObject{{"a", 1}}}}, {{"v", "string"}}, "null", QJsonValue::Undefined},
        {"missing, declared string", {}, {{"v", "string"}}, "text", ""},
        {"missing, declared text", {}, {{"v", "text"}}, "text", ""},
        {"missing, declared int", {}, {{"v", "int"}}, "integer", 0},
        {"missing, declared integer", {}, {{"v", "integer"}}, "integer", 0},
        {"missing, declared double", {}, {{"v", "double"}}, "integer", 0},
        {"missing, declared other type", {}, {{"v", "blob"}}, "null", QJsonValue::Undefined},
        {"missing, undeclared", {{"w", 1}}, {{"w", "integer"}}, "null", QJsonValue::Undefined},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *sql : {"SELECT typeof(:v) AS t, :v AS v;", "SELECT typeof(@v) AS t, @v AS v;"}) {
            SCOPED_TRACE(sql);
            int changes = -1;
            int lastId = -1;
            QList<QJsonObject> rows;
            ASSERT_TRUE(db.exec(changes, lastId, rows, sql, c.values, c.declared));
            ASSERT_EQ(rows.size(), 1);
            EXPECT_EQ(rows[0].value("t").toString(), QString::fromLatin1(c.type));
            EXPECT_EQ(rows[0].value("v"), c.value);
        }
    }
}

TEST_F(Executor, ConvertsRowsByStorageClass)
{
    const QList<QJsonObject> rows = dbtest::rowsOf(
        db, "SELECT 1 AS MixedCase, NULL AS empty, x'00ff' AS blob, 1.5 AS real, "
            "'\xc3\xa9t\xc3\xa9' AS text, 4294967297 AS wrapped, 2147483648 AS negative, "
            "-3 AS minus;");
    ASSERT_EQ(rows.size(), 1) << db.lastError().toStdString();
    EXPECT_EQ(rows[0], (QJsonObject{{"mixedcase", 1},
                                    {"real", 1.5},
                                    {"text", QString::fromUtf8("\xc3\xa9t\xc3\xa9")},
                                    {"wrapped", 1},
                                    {"negative", -2147483647 - 1},
                                    {"minus", -3}}));
}

TEST_F(Executor, StoredBigIntegerReadsBackLow32Bits)
{
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "INSERT INTO n VALUES (:v);", {{"v", "x"}}));
    ASSERT_TRUE(db.exec(changes, lastId, "UPDATE n SET v = 4294967297;"));
    const QList<QJsonObject> rows = dbtest::rowsOf(db, "SELECT v, typeof(v) AS t FROM n;");
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0], (QJsonObject{{"v", 1}, {"t", "integer"}}));
}

TEST_F(Executor, RunFailureDoesNotStopLaterStatements)
{
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "INSERT INTO u VALUES (1, 'one');"));
    EXPECT_EQ(lastId, 1);

    EXPECT_TRUE(db.exec(changes, lastId, "INSERT INTO u VALUES (1, 'dup');\n"
                                         "INSERT INTO u VALUES (2, 'two');"));
    EXPECT_EQ(db.lastError(), "UNIQUE constraint failed: u.a");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(lastId, 2);
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT count(*) AS c FROM u;").value(0).value("c"), 2);
}

TEST_F(Executor, CompileFailureStopsTheRest)
{
    int changes = 0;
    int lastId = 0;
    EXPECT_TRUE(db.exec(changes, lastId, "INSERT INTO u VALUES (5, 'a'); SELEC 1; "
                                         "INSERT INTO u VALUES (6, 'b');"));
    EXPECT_EQ(db.lastError(), "near \"SELEC\": syntax error");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(dbtest::rowsOf(db, "SELECT group_concat(a) AS a FROM u;").value(0).value("a"), "5");

    // Failing before anything completed is a failure, with zeroed counters.
    changes = lastId = 7;
    EXPECT_FALSE(db.exec(changes, lastId, "SELECT * FROM nowhere; INSERT INTO u VALUES (8, 'c');"));
    EXPECT_EQ(db.lastError(), "no such table: nowhere");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(lastId, 0);
    EXPECT_FALSE(db.exec(changes, lastId, "INSERT INTO u VALUES (5, 'dup');"));
    EXPECT_EQ(db.lastError(), "UNIQUE constraint failed: u.a");
}

TEST_F(Executor, RowsAccumulateAndSelectKeepsTheChangeCount)
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows{QJsonObject{{"earlier", 1}}};
    ASSERT_TRUE(db.exec(changes, lastId, rows,
                        "INSERT INTO u VALUES (1, 'a'), (2, 'b'), (3, 'c');\n"
                        "SELECT a FROM u WHERE a < 3 ORDER BY a;\n"
                        "SELECT 'x' AS b; -- trailing comment"));
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"earlier", 1}}, {{"a", 1}}, {{"a", 2}}, {{"b", "x"}}}));
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(lastId, 3);
}

TEST_F(Executor, NothingToRunIsNoSuccess)
{
    int changes = 0;
    int lastId = 0;
    for (const char *sql : {"", "  \n\t", "-- only a comment", ";"}) {
        SCOPED_TRACE(sql);
        EXPECT_FALSE(db.exec(changes, lastId, sql));
    }
    db.close();
    EXPECT_FALSE(db.exec(changes, lastId, "SELECT 1;"));
    EXPECT_EQ(db.lastError(), "database is not open");
}

} // namespace
