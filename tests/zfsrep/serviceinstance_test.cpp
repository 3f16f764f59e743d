// The installation's id: made at the first start on a new database, kept
// over later starts, and a stored id that is not one is not used.
#include "mxzfsrep.h"
#include "serviceinstance.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

QString startOn(const QString &path)
{
    MXZfsrep engine;
    engine.setDatabasePath(path);
    TQ2Journals journals;
    EXPECT_TRUE(engine.loadConfigure(journals, QJsonObject())) << journals.errmsg().toStdString();
    return engine.settings().instance;
}

void execute(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(ServiceInstance, GeneratedIdsAreValidAndDiffer)
{
    const QString first = ServiceInstance::generate();
    const QString second = ServiceInstance::generate();
    EXPECT_TRUE(ServiceInstance::isValid(first)) << first.toStdString();
    EXPECT_TRUE(ServiceInstance::isValid(second));
    EXPECT_NE(first, second);
}

TEST(ServiceInstance, RefusesWhatIsNotAnId)
{
    for (const char *text : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                             "0123456789ABCDEF0123456789abcdef", "0123456789abcdef:123456789abcdef",
                             "{0123456789abcdef0123456789abcdef}"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ServiceInstance::isValid(QString::fromLatin1(text)));
    }
}

TEST(ServiceInstance, MadeAtFirstStartAndKept)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("zfsrep.db");
    const QString first = startOn(path);
    EXPECT_TRUE(ServiceInstance::isValid(first)) << first.toStdString();
    EXPECT_EQ(startOn(path), first);
}

TEST(ServiceInstance, EachDatabaseHasItsOwn)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_NE(startOn(dir.filePath("a.db")), startOn(dir.filePath("b.db")));
}

TEST(ServiceInstance, StoredIdThatIsNotOneIsNotUsed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("zfsrep.db");
    ASSERT_FALSE(startOn(path).isEmpty());
    execute(path, "UPDATE sys_configure SET cfg_value = 'x:1' WHERE cfg_key = 'Service.Instance';");
    EXPECT_EQ(startOn(path), QString());
}

} // namespace
