// The engine text format: headers, text and declaration modes, comments, and
// how a load replaces (or keeps) the catalogue.
#include "dbtesthelpers.h"
#include "tq2sqlcatalogue.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

QString show(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Catalogue entries beyond the four built-in ones.
QJsonObject parsedOnly(const QJsonObject &catalogue)
{
    QJsonObject parsed = catalogue;
    for (const QString &id : TQ2SqlCatalogue::defaults().keys()) {
        if (!parsed.value(id).toObject().contains(QLatin1String("id")))
            parsed.remove(id);
    }
    return parsed;
}

QJsonObject entry(const QString &id, const QString &text, const QJsonObject &params = {})
{
    return QJsonObject{{"id", id}, {"text", text}, {"params", params}};
}

TEST(SqlComments, SplitsCutsAndTrimsLines)
{
    const QStringList lines =
        TQ2DBSqlite::delSqlComments("  a  \n\n\nb 'x--y' -- tail\n-- whole line\n\t c\t");
    EXPECT_EQ(lines, (QStringList{"a", "b 'x", "", "c"}));
}

TEST(EngineText, ParsesStatementsAndDeclarations)
{
    const struct {
        const char *name;
        const char *text;
        QJsonObject expectedParsed;
    } cases[] = {
        {"mixed-case header stored lower case",
         "sql: Mission_X\nSELECT 1;",
         {{"mission_x", entry("mission_x", "SELECT 1;\n")}}},
        {"header without id ignores lines up to the next header",
         "SQL:\nSELECT 0;\nSQL: b\nSELECT 2;",
         {{"b", entry("b", "SELECT 2;\n")}}},
        {"two headers in a row: the first makes no entry",
         "SQL: a\nSQL: b\nSELECT 1;",
         {{"b", entry("b", "SELECT 1;\n")}}},
        {"every @ of the trailing statement becomes :",
         "SQL: z\nSELECT @x,\n'a@b';",
         {{"z", entry("z", "SELECT :x,\n'a:b';\n")}}},
        {"lines before the first header are ignored, indentation dropped",
         "SELECT -1;\nparams:\nq int\nSQL: a\n   SELECT 1\n\t FROM t;  ",
         {{"a", entry("a", "SELECT 1\nFROM t;\n")}}},
        {"literal cut at --",
         "SQL: a\nSELECT 'x--y' AS v;",
         {{"a", entry("a", "SELECT 'x\n")}}},
        {"parameter header in any case, text stops there",
         "SQL: a\nSELECT :x;\nPaRaMs: anything\nx integer\nSQL: b\nSELECT :y;\nPARAMS:\ny",
         {{"a", entry("a", "SELECT :x;\n", {{"x", "integer"}})},
          {"b", entry("b", "SELECT :y;\n", {{"y", "string"}})}}},
        {"declaration forms",
         "SQL: a\nSELECT 1;\nparams:\nplain\n@tagged    TEXT\n:colon Double\n"
         "three words here\ntab\tinteger\nplain INT",
         {{"a", entry("a", "SELECT 1;\n",
                      {{"plain", "int"}, {"tagged", "text"}, {"colon", "double"},
                       {"three", "words"}, {"tab\tinteger", "string"}})}}},
        {"lines after params: are declarations whatever they hold",
         "SQL: a\nINSERT INTO t VALUES (:x);\nparams:\nx integer\n"
         "CREATE TABLE t (\n  snp_no INTEGER PRIMARY KEY,\n);",
         {{"a", entry("a", "INSERT INTO t VALUES (:x);\n",
                      {{"x", "integer"}, {"CREATE", "table"}, {"snp_no", "integer"},
                       {");", "string"}})}}},
        {"params: before any header does not start a statement",
         "params:\nSELECT 1;\nSQL: a\nSELECT 2;",
         {{"a", entry("a", "SELECT 2;\n")}}},
        {"a later entry with the same id replaces the earlier one",
         "SQL: a\nSELECT 1;\nSQL: A\nSELECT 2;",
         {{"a", entry("a", "SELECT 2;\n")}}},
        {"a header whose statement has no text keeps the earlier entry",
         "SQL: a\nSELECT 1;\nSQL: a\nparams:\nx",
         {{"a", entry("a", "SELECT 1;\n")}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject catalogue = TQ2SqlCatalogue::parse(QString::fromUtf8(c.text));
        EXPECT_EQ(show(parsedOnly(catalogue)), show(c.expectedParsed));
        for (const QString &id : TQ2SqlCatalogue::defaults().keys())
            EXPECT_TRUE(catalogue.contains(id)) << qPrintable(id);
    }
}

TEST(EngineText, LaterHeaderReplacesBuiltInEntry)
{
    const QJsonObject catalogue =
        TQ2SqlCatalogue::parse("SQL: configure_get\nSELECT 42 AS value;\nparams:\nkey text");
    EXPECT_EQ(catalogue.size(), 4);
    EXPECT_EQ(show(catalogue.value("configure_get").toObject()),
              show(entry("configure_get", "SELECT 42 AS value;\n", {{"key", "text"}})));
    EXPECT_FALSE(catalogue.value("configure_alload").toObject().contains("id"));
}

class EngineLoad : public ::testing::Test
{
protected:
    QString file(const char *name, const QString &text)
    {
        const QString path = dir.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(dbtest::writeText(path, text));
        return path;
    }
    QTemporaryDir dir;
    TQ2DBSqlite db;
};

TEST_F(EngineLoad, ReadsFileWithWindowsLineEndings)
{
    ASSERT_TRUE(db.loadSqlEngine(file("e.sql", "\r\n  SQL: a\r\nSELECT 1;\r\nparams:\r\nx int\r\n\r\n")));
    EXPECT_EQ(show(db.sqlEngine().value("a").toObject()),
              show(entry("a", "SELECT 1;\n", {{"x", "int"}})));
    EXPECT_EQ(db.sqlSource(), "SQL: a\nSELECT 1;\nparams:\nx int");
}

TEST_F(EngineLoad, FailedLoadsKeepTheCatalogue)
{
    ASSERT_TRUE(db.loadSqlEngine(file("e.sql", "SQL: a\nSELECT 1;")));
    const QJsonObject before = db.sqlEngine();
    ASSERT_EQ(before.size(), 5);

    EXPECT_FALSE(db.loadSqlEngine(QString()));
    EXPECT_EQ(db.lastError(), "Not found engine ddl.");
    EXPECT_EQ(db.sqlEngine(), before);

    EXPECT_FALSE(db.loadSqlEngine(dir.filePath("missing.sql")));
    EXPECT_EQ(db.lastError(), "Not found engine ddl."); // silent: message untouched
    EXPECT_FALSE(db.loadSqlEngine(dir.path()));          // a directory is no text
    EXPECT_EQ(db.sqlEngine(), before);
    EXPECT_EQ(db.sqlSource(), "SQL: a\nSELECT 1;");
}

TEST_F(EngineLoad, SuccessfulLoadReplacesTheWholeCatalogue)
{
    ASSERT_TRUE(db.loadSqlEngine(file("one.sql", "SQL: a\nSELECT 1;")));
    ASSERT_TRUE(db.loadSqlEngine(file("two.sql", "SQL: b\nSELECT 2;")));
    EXPECT_FALSE(db.sqlEngine().contains("a"));
    EXPECT_TRUE(db.sqlEngine().contains("b"));
    ASSERT_TRUE(db.loadSqlEngine(file("empty.sql", "  \n")));
    EXPECT_EQ(db.sqlEngine(), TQ2SqlCatalogue::defaults());
}

} // namespace
