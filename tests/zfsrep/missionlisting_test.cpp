// The listing written as text (MissionListing::listJson, what
// zfsrep_mission_alload answers) is byte for byte the compact JSON of the
// listing built as a QJsonObject (MissionListing::list), over a store that
// holds every kind of value the rows can carry, a running mission with live
// figures and missions with and without run history.
#include "fakerunner.h"
#include "missionlisting.h"
#include "mxzfsrep.h"
#include "runhistory.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <functional>
#include <vector>

namespace {

// The scheduler's snapshot with `progress` as its one running mission (none
// when it names no mission).
LiveRuns oneRunning(const QJsonObject &progress)
{
    LiveRuns live;
    const int msnno = progress.value("msnno").toInt();
    if (msnno != 0)
        live.progress.insert(msnno, progress);
    return live;
}

class ListingText : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine = std::make_unique<MXZfsrep>();
        engine->setRunner(std::make_shared<FakeRunner>());
        engine->setDatabasePath(dir.filePath("zfsrep.db"));
        engine->events().open(dir.filePath("tarnlog.db"));
        engine->setClock([this] { return now; });
        ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject()));
    }

    int append(const QString &caption, const QJsonArray &schedules = QJsonArray())
    {
        const QJsonObject mission{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                                  {"path", "backup"}, {"host", "10.0.0.9"}, {"port", 22}, {"userid", "zr"},
                                  {"passwd", "p\"w\\"}, {"snapname", "ZFSREP"}, {"increment", 1}, {"erase", true},
                                  {"encrypt", false}, {"encryptkey", false}, {"schedules", schedules},
                                  {"ratelimit", 0}};
        EXPECT_TRUE(engine->appendMission(journals, mission));
        return engine->missions().exists(journals, caption) ? lastNumber() : 0;
    }

    int lastNumber()
    {
        QList<QJsonObject> rows;
        engine->db().exec(changes, lastId, rows, "SELECT MAX(msn_no) AS n FROM t_mission");
        return rows.value(0).value("n").toInt();
    }

    void sql(const QString &text)
    {
        ASSERT_TRUE(engine->db().exec(changes, lastId, text)) << qPrintable(text) << ": "
                                                              << qPrintable(engine->db().lastError());
    }

    // Both forms of the listing with `progress` as the scheduler's.
    void expectSameText(const QJsonObject &progress, int expectedRecords)
    {
        MissionListing listing(engine->missions(), engine->dueTable(), [progress] { return oneRunning(progress); },
                               engine->history(), [this] { return now; });
        QJsonObject result;
        ASSERT_TRUE(listing.list(journals, result, 1, 99999999));
        ASSERT_EQ(result.value("records").toArray().size(), expectedRecords);
        QByteArray text;
        ASSERT_TRUE(listing.listJson(journals, text, 1, 99999999));
        const QByteArray reference = QJsonDocument(result).toJson(QJsonDocument::Compact);
        ASSERT_EQ(text.size(), reference.size());
        // The first differing place, readable, rather than 5 kB of dump.
        int at = 0;
        while (at < text.size() && text.at(at) == reference.at(at))
            ++at;
        EXPECT_EQ(at, text.size()) << "differs at " << at << ": " << text.mid(std::max(0, at - 60), 120).constData()
                                   << "\nreference: " << reference.mid(std::max(0, at - 60), 120).constData();
    }

    QTemporaryDir dir;
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
    QDateTime now = QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20));
    int changes = 0;
    int lastId = 0;
};

TEST_F(ListingText, EmptyStoreListsNoRecords)
{
    expectSameText(QJsonObject(), 0);
}

TEST_F(ListingText, SameBytesAsTheBuiltListingForEveryKindOfValue)
{
    const QJsonArray weekly{QJsonObject{{"weeks", QJsonArray{1, 3, 5}}, {"hours", QJsonArray{2}}, {"minutes", QJsonArray{30}}}};
    const int plain = append("Nightly", weekly);
    const int shared = append("Nightly twin", weekly);
    const int unicode = append(QString::fromUtf8("夜间备份 \xF0\x9F\x98\x80 café"));
    const int quoted = append("say \"hi\" \\ back\\slash </tag>");
    const int control = append(QString::fromUtf8("tab\there\nnew\rline\x01\x1f\x7f end"));
    const int running = append("Running now", weekly);
    const int odd = append("Odd values");
    ASSERT_GT(odd, 0);
    // Values no request can store, as an older or hand-edited store may hold
    // them: NULL and empty columns, a real, numbers past 32 bits, text where
    // numbers belong, schedules that are not an array, invalid UTF-8, a NUL
    // inside a text and a byte-order mark.
    sql(QStringLiteral("UPDATE t_mission SET msn_path = NULL, msn_host = '', msn_userid = '', msn_ratelimit = 2.5, "
                       "msn_port = 4294967318, msn_done = 'yes', msn_schedules = 'not json', "
                       "msn_snapname = CAST(X'4E554C004146544552' AS TEXT) WHERE msn_no = %1").arg(odd));
    sql(QStringLiteral("UPDATE t_mission SET msn_schedules = NULL, msn_ratelimit = 9007199254740993, "
                       "msn_name = CAST(X'6261640AFF80C080EDA080' AS TEXT), msn_finishedtime = '2024-03-01 02:30:00' "
                       "WHERE msn_no = %1").arg(unicode));
    sql(QStringLiteral("UPDATE t_mission SET msn_caption = CAST(X'EFBBBF6C6973746564' AS TEXT), msn_schedules = '[]', "
                       "msn_ratelimit = -2147483648 WHERE msn_no = %1").arg(quoted));
    sql(QStringLiteral("UPDATE t_mission SET msn_schedules = ' [ {\"minutes\" : [1.0, 2]} ] ' WHERE msn_no = %1").arg(control));
    // Run history: finished runs with and without an error, one run going on.
    RunHistory &history = engine->history();
    RunRecord failed;
    failed.msnno = plain;
    failed.caption = "Nightly";
    failed.started = now.toSecsSinceEpoch() - 3600;
    ASSERT_TRUE(history.begin(failed));
    failed.ended = failed.started + 20;
    failed.outcome = "failed";
    failed.error = QString::fromUtf8("cannot receive: \"tank/x\" 已存在\n");
    ASSERT_TRUE(history.finish(failed));
    RunRecord succeeded;
    succeeded.msnno = shared;
    succeeded.started = now.toSecsSinceEpoch() - 60;
    ASSERT_TRUE(history.begin(succeeded));
    succeeded.ended = succeeded.started + 5;
    succeeded.outcome = "succeeded";
    ASSERT_TRUE(history.finish(succeeded));
    RunRecord live;
    live.msnno = running;
    live.started = now.toSecsSinceEpoch() - 5;
    ASSERT_TRUE(history.begin(live));
    // Due entries of every kind: run now, a problem, never due.
    engine->dueTable().armNow(shared);
    engine->dueTable().setProblem(control, QString::fromUtf8("schedule \"x\" 无效"));
    // The running mission shows its live figures, "total" missing.
    const QJsonObject progress{{"msnno", running}, {"action", 1}, {"speed", "12.5MB/s"}, {"rate", 37},
                               {"bytes", qint64(1) << 40}, {"eta", QString::fromUtf8("00:01:02 剩余")}};
    expectSameText(progress, 7);
    // Nothing running, and a progress object without a mission number.
    expectSameText(QJsonObject(), 7);
    expectSameText(QJsonObject{{"speed", "1MB/s"}}, 7);
}

TEST_F(ListingText, RunningMissionsFiguresAreMergedIntoItsRowOnly)
{
    const int first = append("First");
    const int second = append("Second");
    MissionListing listing(engine->missions(), engine->dueTable(),
                           [second] {
                               return oneRunning(QJsonObject{{"msnno", second}, {"speed", "3MB/s"}, {"total", 99}});
                           },
                           engine->history(), [this] { return now; });
    QByteArray text;
    ASSERT_TRUE(listing.listJson(journals, text, 1, 99999999));
    const QJsonArray records = QJsonDocument::fromJson(text).object().value("records").toArray();
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records.at(0).toObject().value("msnno").toInt(), first);
    EXPECT_FALSE(records.at(0).toObject().contains("speed"));
    EXPECT_EQ(records.at(1).toObject().value("speed").toString(), "3MB/s");
    EXPECT_EQ(records.at(1).toObject().value("total").toInt(), 99);
    EXPECT_EQ(records.at(1).toObject().value("state").toString(), "running");
}

// The engine's listing keeps the stored rows' text between listings: every
// way the store can change shows in the next listing, and what changes
// without the store (due times, the running mission) shows as well.
TEST_F(ListingText, KeptRowsFollowEveryChangeOfTheStore)
{
    const int first = append("First");
    append("Second");
    const auto pathOf = [this](int msnno) {
        QByteArray text;
        EXPECT_TRUE(engine->listing().listJson(journals, text, 1, 99999999));
        for (const QJsonValue &record : QJsonDocument::fromJson(text).object().value("records").toArray()) {
            if (record.toObject().value("msnno").toInt() == msnno)
                return record.toObject().value("path").toString();
        }
        return QStringLiteral("(not listed)");
    };
    ASSERT_EQ(pathOf(first), "backup");

    TQ2DBSqlite other; // another connection, as another process would hold
    ASSERT_TRUE(other.openOnly(dir.filePath("zfsrep.db")));
    struct Change {
        const char *name;
        std::function<void()> apply;
        QString path;
    };
    const std::vector<Change> steps{
        {"engine change",
         [&] {
             QJsonObject mission{{"msnno", first}, {"caption", "First"}, {"action", 1}, {"pool", "tank"},
                                 {"name", "data"}, {"path", "by-engine"}, {"host", "10.0.0.9"}, {"userid", "zr"},
                                 {"passwd", "pw"}, {"schedules", QJsonArray()}};
             ASSERT_TRUE(engine->changeMission(journals, mission));
         },
         "by-engine"},
        {"statement on the service's connection",
         [&] { sql(QStringLiteral("UPDATE t_mission SET msn_path = 'by-sql' WHERE msn_no = %1").arg(first)); },
         "by-sql"},
        {"another connection",
         [&] {
             ASSERT_TRUE(other.exec(changes, lastId,
                                    QStringLiteral("UPDATE t_mission SET msn_path = 'by-other' WHERE msn_no = %1").arg(first)));
         },
         "by-other"},
        {"removed", [&] { ASSERT_TRUE(engine->removeMission(journals, first)); }, "(not listed)"},
    };
    for (const Change &change : steps) {
        SCOPED_TRACE(change.name);
        change.apply();
        EXPECT_EQ(pathOf(first), change.path);
        EXPECT_EQ(pathOf(first), change.path) << "listed again, unchanged";
    }

    // Due times and the running mission are not in the store: a listing of
    // unchanged rows still shows them as they are now.
    const int third = append("Third");
    const auto recordOf = [this](MissionListing &listing, int msnno) {
        QByteArray text;
        EXPECT_TRUE(listing.listJson(journals, text, 1, 99999999));
        for (const QJsonValue &record : QJsonDocument::fromJson(text).object().value("records").toArray()) {
            if (record.toObject().value("msnno").toInt() == msnno)
                return record.toObject();
        }
        return QJsonObject();
    };
    engine->dueTable().disarm(third);
    EXPECT_EQ(recordOf(engine->listing(), third).value("nextrun").toInt(), 0);
    engine->dueTable().armNow(third);
    EXPECT_EQ(recordOf(engine->listing(), third).value("nextrun").toInt(), now.toSecsSinceEpoch());
    QJsonObject progress;
    MissionListing listing(engine->missions(), engine->dueTable(), [&progress] { return oneRunning(progress); },
                           engine->history(), [this] { return now; });
    EXPECT_FALSE(recordOf(listing, third).contains("speed"));
    progress = QJsonObject{{"msnno", third}, {"speed", "9MB/s"}};
    EXPECT_EQ(recordOf(listing, third).value("speed").toString(), "9MB/s");
    EXPECT_EQ(recordOf(listing, third).value("state").toString(), "running");
}

TEST_F(ListingText, FailedStatementIsReported)
{
    append("Gone");
    sql("DROP TABLE t_mission");
    MissionListing listing(engine->missions(), engine->dueTable(), [] { return LiveRuns(); }, engine->history(),
                           [this] { return now; });
    QByteArray text;
    TQ2Journals failure;
    EXPECT_FALSE(listing.listJson(failure, text, 1, 99999999));
    EXPECT_FALSE(failure.segments().isEmpty());
}

} // namespace
