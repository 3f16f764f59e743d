// Several threads share one database object: each must read back its own last
// error, last statement id and last row id right after its own call, while the
// others fail and succeed around it and the catalogue is reloaded.
#include "dbtesthelpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const char kEngine[] =
    "SQL: mark_append\nINSERT INTO marks (mark) VALUES (:mark);\nparams:\nmark string\n"
    "SQL: mark_get\nSELECT mark FROM marks WHERE no = :no;\nparams:\nno integer\n"
    "SQL: mark_duplicate\nINSERT INTO marks (mark) VALUES ('first');\n";

constexpr int kThreads = 4;
constexpr int kRounds = 500;

TEST(DatabaseConcurrency, EachThreadReadsItsOwnOutcome)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString creator = dir.filePath("creator.sql");
    const QString engine = dir.filePath("engine.sql");
    ASSERT_TRUE(dbtest::writeText(creator, "CREATE TABLE marks (no INTEGER PRIMARY KEY "
                                           "AUTOINCREMENT, mark TEXT UNIQUE);\n"
                                           "INSERT INTO marks (mark) VALUES ('first');"));
    ASSERT_TRUE(dbtest::writeText(engine, kEngine));
    TQ2DBSqlite db;
    ASSERT_TRUE(db.open(dir.filePath("c.db"), engine, creator));
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "PRAGMA synchronous = OFF;"));

    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::atomic<bool> running{true};

    auto worker = [&](int thread) {
        std::vector<std::string> mine;
        auto expect = [&](bool ok, const QString &what) {
            if (!ok && mine.size() < 10)
                mine.push_back(QStringLiteral("thread %1: %2").arg(thread).arg(what).toStdString());
        };
        QString lastFailure;
        for (int round = 0; round < kRounds; ++round) {
            const QString tag = QStringLiteral("%1_%2").arg(thread).arg(round);
            switch (round % 4) {
            case 0: { // unknown id: this layer's own message
                const QString id = "missing_" + tag;
                expect(!db.call(id, {}), "unknown id succeeded");
                lastFailure = "sqlid not found: " + id;
                expect(db.lastSqlid() == id, "sqlid " + db.lastSqlid() + " for " + id);
                break;
            }
            case 1: { // compile failure: SQLite's message names the table
                int c = 0, l = 0;
                expect(!db.exec(c, l, "SELECT * FROM absent_" + tag + ";"), "select succeeded");
                lastFailure = "no such table: absent_" + tag;
                break;
            }
            case 2: { // run failure of a catalogue statement
                expect(!db.call("mark_duplicate", {}), "duplicate succeeded");
                lastFailure = "UNIQUE constraint failed: marks.mark";
                expect(db.lastSqlid() == "mark_duplicate", "sqlid " + db.lastSqlid());
                break;
            }
            default: { // success: its own row id, and the last failure stays
                int c = 0, l = 0;
                expect(db.call(c, l, "mark_append", {{"mark", tag}}), "append failed: " + db.lastError());
                expect(c == 1, QStringLiteral("changes %1").arg(c));
                QList<QJsonObject> rows;
                expect(db.call(rows, "mark_get", {{"no", l}}), "get failed");
                const QString got = rows.value(0).value("mark").toString();
                expect(got == tag, "row id " + QString::number(l) + " holds " + got + " not " + tag);
                expect(db.lastSqlid() == "mark_get", "sqlid " + db.lastSqlid());
                break;
            }
            }
            expect(db.lastError() == lastFailure, "error '" + db.lastError() + "' not '" + lastFailure + "'");
        }
        std::lock_guard<std::mutex> lock(failuresMutex);
        failures.insert(failures.end(), mine.begin(), mine.end());
    };

    // The catalogue is replaced while the workers read it.
    std::thread reloader([&] {
        for (int i = 0; i < 200 && running; ++i) {
            db.loadSqlEngine(engine);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker, t);
    for (std::thread &t : threads)
        t.join();
    running = false;
    reloader.join();

    for (const std::string &failure : failures)
        ADD_FAILURE() << failure;
    EXPECT_TRUE(failures.empty());
    QList<QJsonObject> rows = dbtest::rowsOf(db, "SELECT count(*) AS c FROM marks;");
    EXPECT_EQ(rows.value(0).value("c"), 1 + kThreads * kRounds / 4);
}

} // namespace
