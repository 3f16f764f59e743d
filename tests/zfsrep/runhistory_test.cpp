// The run history on a real SQLite file: the schema upgrade of older
// databases, the record round trip, pruning, interrupted runs, order and limit.
#include "mxzfsrep.h"
#include "runhistory.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

namespace {

class History : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setDatabasePath(dir.filePath("zfsrep.db"));
        engine.events().open(dir.filePath("tarnlog.db"));
    }

    void load() { ASSERT_TRUE(engine.loadConfigure(journals, QJsonObject())) << journals.errmsg().toStdString(); }

    RunRecord finished(int msnno, const QString &outcome, qint64 started)
    {
        RunRecord run;
        run.msnno = msnno;
        run.caption = QStringLiteral("m%1").arg(msnno);
        run.action = 1;
        run.started = started;
        EXPECT_TRUE(engine.history().begin(run));
        run.kind = QStringLiteral("full");
        run.ended = started + 10;
        run.outcome = outcome;
        EXPECT_TRUE(engine.history().finish(run));
        return run;
    }

    QTemporaryDir dir;
    MXZfsrep engine;
    TQ2Journals journals;
};

// Databases as older releases left them: their own version and mission
// columns, one stored mission each.
struct OlderSchema {
    const char *name;
    const char *version;
    const char *missionTable;
};

const OlderSchema kOlderSchemas[] = {
    {"version 1: no finished time, no series",
     "1",
     "CREATE TABLE t_mission (msn_no INTEGER PRIMARY KEY AUTOINCREMENT, msn_time DATETIME, msn_done INTEGER "
     "DEFAULT 0, msn_caption TEXT DEFAULT '', msn_action INTEGER DEFAULT 0, msn_pool TEXT DEFAULT '', msn_name "
     "TEXT DEFAULT '', msn_path TEXT DEFAULT '', msn_host TEXT DEFAULT '', msn_port TEXT DEFAULT '', msn_userid "
     "TEXT DEFAULT '', msn_passwd TEXT DEFAULT '', msn_increment INTEGER DEFAULT 0, msn_erase INTEGER DEFAULT 0, "
     "msn_encrypt INTEGER DEFAULT 0, msn_encryptkey INTEGER DEFAULT 0, msn_schedules TEXT DEFAULT '[]');"},
    {"version 3: every mission column but the bandwidth limit",
     "3",
     "CREATE TABLE t_mission (msn_no INTEGER PRIMARY KEY AUTOINCREMENT, msn_time DATETIME, msn_done INTEGER "
     "DEFAULT 0, msn_caption TEXT DEFAULT '', msn_action INTEGER DEFAULT 0, msn_pool TEXT DEFAULT '', msn_name "
     "TEXT DEFAULT '', msn_path TEXT DEFAULT '', msn_host TEXT DEFAULT '', msn_port TEXT DEFAULT '', msn_userid "
     "TEXT DEFAULT '', msn_passwd TEXT DEFAULT '', msn_increment INTEGER DEFAULT 0, msn_erase INTEGER DEFAULT 0, "
     "msn_encrypt INTEGER DEFAULT 0, msn_encryptkey INTEGER DEFAULT 0, msn_schedules TEXT DEFAULT '[]', "
     "msn_finishedtime TEXT DEFAULT '', msn_snapname TEXT DEFAULT '');"},
    {"version 4: the run history without notices, files or pruned counts",
     "4",
     "CREATE TABLE t_mission (msn_no INTEGER PRIMARY KEY AUTOINCREMENT, msn_time DATETIME, msn_done INTEGER "
     "DEFAULT 0, msn_caption TEXT DEFAULT '', msn_action INTEGER DEFAULT 0, msn_pool TEXT DEFAULT '', msn_name "
     "TEXT DEFAULT '', msn_path TEXT DEFAULT '', msn_host TEXT DEFAULT '', msn_port TEXT DEFAULT '', msn_userid "
     "TEXT DEFAULT '', msn_passwd TEXT DEFAULT '', msn_increment INTEGER DEFAULT 0, msn_erase INTEGER DEFAULT 0, "
     "msn_encrypt INTEGER DEFAULT 0, msn_encryptkey INTEGER DEFAULT 0, msn_schedules TEXT DEFAULT '[]', "
     "msn_finishedtime TEXT DEFAULT '', msn_snapname TEXT DEFAULT '', msn_ratelimit INTEGER DEFAULT 0);"
     "CREATE TABLE t_run (run_no INTEGER PRIMARY KEY AUTOINCREMENT, run_msnno INTEGER DEFAULT 0, run_caption "
     "TEXT DEFAULT '', run_action INTEGER DEFAULT 0, run_kind TEXT DEFAULT '', run_started INTEGER DEFAULT 0, "
     "run_ended INTEGER DEFAULT 0, run_outcome TEXT DEFAULT 'running', run_error TEXT DEFAULT '', run_bytes "
     "INTEGER DEFAULT 0, run_rate INTEGER DEFAULT 0, run_base TEXT DEFAULT '', run_target TEXT DEFAULT '');"},
};

TEST_F(History, UpgradeOfAnOlderDatabaseKeepsItsMissions)
{
    for (const OlderSchema &schema : kOlderSchemas) {
        SCOPED_TRACE(schema.name);
        const QString path = dir.filePath(QStringLiteral("older-%1.db").arg(schema.version));
        {
            // An empty file opened as it is: the statements below make the schema.
            TQ2DBSqlite older;
            int changes = 0;
            int lastId = 0;
            QFile touch(path);
            ASSERT_TRUE(touch.open(QIODevice::WriteOnly));
            touch.close();
            ASSERT_TRUE(older.openOnly(path)) << older.lastError().toStdString();
            ASSERT_TRUE(older.exec(changes, lastId,
                                   QStringLiteral("CREATE TABLE sys_configure (cfg_no INTEGER PRIMARY KEY "
                                                  "AUTOINCREMENT, cfg_key VARCHAR(250), cfg_value VARCHAR(250));"
                                                  "INSERT INTO sys_configure (cfg_key, cfg_value) VALUES "
                                                  "('Database.Version', '%1');")
                                       .arg(QLatin1String(schema.version))))
                << older.lastError().toStdString();
            ASSERT_TRUE(older.exec(changes, lastId, QString::fromLatin1(schema.missionTable)));
            ASSERT_TRUE(older.exec(changes, lastId,
                                   QStringLiteral("INSERT INTO t_mission (msn_caption, msn_action, msn_pool, "
                                                  "msn_name, msn_path, msn_done) VALUES ('Kept', 3, 'tank', "
                                                  "'data', '/backup', 1);")));
        }
        MXZfsrep upgraded;
        upgraded.setDatabasePath(path);
        upgraded.events().open(dir.filePath("tarnlog.db"));
        TQ2Journals loadJournals;
        ASSERT_TRUE(upgraded.loadConfigure(loadJournals, QJsonObject()));
        QJsonObject listing;
        TQ2Journals listJournals;
        ASSERT_TRUE(upgraded.listing().list(listJournals, listing, 1, 100)) << listJournals.errmsg().toStdString();
        const QJsonArray records = listing.value("records").toArray();
        ASSERT_EQ(records.size(), 1);
        const QJsonObject kept = records.at(0).toObject();
        EXPECT_EQ(kept.value("caption").toString(), "Kept");
        EXPECT_EQ(kept.value("path").toString(), "/backup");
        EXPECT_EQ(kept.value("ratelimit").toInt(), 0);
        EXPECT_EQ(kept.value("keepsource").toString(), "");
        EXPECT_EQ(kept.value("carry").toString(), "");
        EXPECT_EQ(kept.value("state").toString(), "done");
        EXPECT_EQ(kept.value("lastresult").toString(), "");

        RunRecord run;
        run.msnno = kept.value("msnno").toInt();
        run.started = 1700000000;
        ASSERT_TRUE(upgraded.history().begin(run)) << upgraded.history().lastError().toStdString();
        QList<RunRecord> runs;
        ASSERT_TRUE(upgraded.history().list(runs, run.msnno, 10));
        EXPECT_EQ(runs.size(), 1);
    }
}

TEST_F(History, RecordRoundTripKeepsEveryFieldAndLargeByteCounts)
{
    load();
    RunRecord run;
    run.msnno = 4;
    run.caption = QStringLiteral("Nightly 'quoted' -- not a comment");
    run.action = 2;
    run.started = 1765000000;
    ASSERT_TRUE(engine.history().begin(run));
    EXPECT_GT(run.runno, 0);
    EXPECT_EQ(run.outcome, "running");
    run.kind = QStringLiteral("incremental");
    run.ended = 1765000100;
    run.outcome = QStringLiteral("failed");
    run.error = QStringLiteral("cannot open 'nopool/data': dataset does not exist");
    run.bytes = 5000000000LL; // beyond 32 bits
    run.rate = 50000000;
    run.base = QStringLiteral("tank/data@a");
    run.target = QStringLiteral("tank/data@b");
    run.file = QStringLiteral("/exports/it's here.gz.zsa");
    ASSERT_TRUE(engine.history().finish(run));

    QList<RunRecord> runs;
    ASSERT_TRUE(engine.history().list(runs, 4, 10));
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs.at(0).toJson(), run.toJson());
}

TEST_F(History, AnExportKeepsTheNameOfItsFile)
{
    load();
    RunRecord run;
    run.msnno = 6;
    run.action = 3;
    ASSERT_TRUE(engine.history().begin(run));
    run.kind = QStringLiteral("export");
    run.outcome = QStringLiteral("succeeded");
    run.file = QStringLiteral("/tarn/exports/tank/data@ZFSREP_20240304101520.gz.zsa");
    ASSERT_TRUE(engine.history().finish(run));
    RunRecord other;
    other.msnno = 6;
    ASSERT_TRUE(engine.history().begin(other));
    other.outcome = QStringLiteral("failed");
    ASSERT_TRUE(engine.history().finish(other));

    QList<RunRecord> runs;
    ASSERT_TRUE(engine.history().list(runs, 6, 10));
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(runs.at(0).file, "") << "a run that wrote no file names none";
    EXPECT_EQ(runs.at(1).file, run.file);
    EXPECT_EQ(runs.at(1).toJson().value("file").toString(), run.file);
    QHash<int, RunRecord> latest;
    ASSERT_TRUE(engine.history().latest(latest));
    EXPECT_EQ(latest.value(6).runno, other.runno);
}

TEST_F(History, LongErrorsAreStoredCut)
{
    load();
    const struct {
        const char *name;
        QString error;
        QString stored;
    } cases[] = {
        {"at the limit", QString(RunHistory::kLongestError, QLatin1Char('e')),
         QString(RunHistory::kLongestError, QLatin1Char('e'))},
        {"a megabyte of tool output", "cannot receive: " + QString(1 << 20, QLatin1Char('x')),
         ("cannot receive: " + QString(RunHistory::kLongestError, QLatin1Char('x'))).left(RunHistory::kLongestError)},
        // A character outside the BMP across the cut is dropped whole.
        {"surrogate pair at the cut",
         QString(RunHistory::kLongestError - 1, QLatin1Char('a')) + QString::fromUtf8("\xF0\x9F\x98\x80"),
         QString(RunHistory::kLongestError - 1, QLatin1Char('a'))},
    };
    int msnno = 10;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RunRecord run;
        run.msnno = ++msnno;
        ASSERT_TRUE(engine.history().begin(run));
        run.outcome = QStringLiteral("failed");
        run.error = c.error;
        ASSERT_TRUE(engine.history().finish(run));
        QList<RunRecord> runs;
        ASSERT_TRUE(engine.history().list(runs, msnno, 1));
        ASSERT_EQ(runs.size(), 1);
        EXPECT_EQ(runs.at(0).error, c.stored);
    }
}

TEST_F(History, RemovingAMissionRemovesItsRuns)
{
    load();
    const QJsonObject fields{{"caption", "gone"}, {"action", 3}, {"pool", "tank"}, {"name", "data"},
                             {"path", "/backup"}, {"snapname", "ZFSREP"},
                             // 30 February: stored, never due
                             {"schedules", QJsonArray{QJsonObject{{"months", QJsonArray{2}}, {"days", QJsonArray{30}}}}}};
    ASSERT_TRUE(engine.appendMission(journals, fields)) << journals.errmsg().toStdString();
    QJsonObject kept = fields;
    kept.insert("caption", "kept");
    ASSERT_TRUE(engine.appendMission(journals, kept)) << journals.errmsg().toStdString();
    finished(1, "succeeded", 100);
    finished(1, "failed", 200);
    finished(2, "succeeded", 300);
    ASSERT_TRUE(engine.removeMission(journals, 1)) << journals.errmsg().toStdString();
    QList<RunRecord> runs;
    ASSERT_TRUE(engine.history().list(runs, 1, 50));
    EXPECT_TRUE(runs.isEmpty()) << "no history left behind";
    ASSERT_TRUE(engine.history().list(runs, 2, 50));
    EXPECT_EQ(runs.size(), 1) << "the other mission's runs stay";
    QHash<int, RunRecord> latest;
    ASSERT_TRUE(engine.history().latest(latest));
    EXPECT_FALSE(latest.contains(1));
}

TEST_F(History, ListsNewestFirstUpToTheLimitPerMission)
{
    load();
    for (int i = 0; i < 5; ++i) {
        finished(1, "succeeded", 1000 + i);
        finished(2, "failed", 2000 + i);
    }
    const struct {
        const char *name;
        int msnno;
        int limit;
        QList<qint64> starts;
    } cases[] = {
        {"all of one mission", 1, 50, {1004, 1003, 1002, 1001, 1000}},
        {"limited to two", 2, 2, {2004, 2003}},
        {"a mission without runs", 3, 50, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QList<RunRecord> runs;
        ASSERT_TRUE(engine.history().list(runs, c.msnno, c.limit));
        QList<qint64> starts;
        for (const RunRecord &run : runs) {
            starts.append(run.started);
            EXPECT_EQ(run.msnno, c.msnno);
        }
        EXPECT_EQ(starts, c.starts);
    }
}

TEST_F(History, KeepsTheNewestThousandRunsOfEachMission)
{
    load();
    ASSERT_TRUE(engine.db().transactionBegin());
    const int total = RunHistory::kKeptPerMission + 7;
    for (int i = 0; i < total; ++i)
        finished(1, "succeeded", 100000 + i);
    finished(2, "failed", 5);
    ASSERT_TRUE(engine.db().transactionCommit());

    QList<RunRecord> runs;
    ASSERT_TRUE(engine.history().list(runs, 1, 5000));
    ASSERT_EQ(runs.size(), RunHistory::kKeptPerMission);
    EXPECT_EQ(runs.first().started, 100000 + total - 1) << "the newest run is kept";
    EXPECT_EQ(runs.last().started, 100000 + 7) << "the oldest seven are gone";
    QList<RunRecord> other;
    ASSERT_TRUE(engine.history().list(other, 2, 5000));
    EXPECT_EQ(other.size(), 1) << "pruning one mission leaves the others alone";
}

TEST_F(History, RunsLeftRunningAreMarkedInterruptedAtTheNextStart)
{
    load();
    const RunRecord done = finished(1, "succeeded", 1000);
    RunRecord cut;
    cut.msnno = 1;
    cut.started = 2000;
    ASSERT_TRUE(engine.history().begin(cut));

    // A new engine on the same file: its start marks the cut run.
    MXZfsrep restarted;
    restarted.setDatabasePath(dir.filePath("zfsrep.db"));
    restarted.events().open(dir.filePath("tarnlog.db"));
    restarted.setClock([] { return QDateTime::fromSecsSinceEpoch(2500); });
    TQ2Journals restartJournals;
    ASSERT_TRUE(restarted.loadConfigure(restartJournals, QJsonObject()));
    QList<RunRecord> runs;
    ASSERT_TRUE(restarted.history().list(runs, 1, 10));
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(runs.at(0).outcome, "interrupted");
    EXPECT_EQ(runs.at(0).ended, 2500);
    EXPECT_EQ(runs.at(1).outcome, "succeeded") << "finished runs keep their outcome";
    EXPECT_EQ(runs.at(1).ended, done.ended);
}

TEST_F(History, SummaryGroupsRunsAndBytesByOutcome)
{
    load();
    RunRecord big = finished(1, "succeeded", 10);
    big.bytes = 3000000000LL;
    ASSERT_TRUE(engine.history().finish(big));
    finished(1, "succeeded", 20);
    finished(1, "failed", 30);
    QList<RunHistory::OutcomeTotal> totals;
    ASSERT_TRUE(engine.history().summary(totals));
    ASSERT_EQ(totals.size(), 2);
    EXPECT_EQ(totals.at(0).outcome, "failed");
    EXPECT_EQ(totals.at(0).runs, 1);
    EXPECT_EQ(totals.at(1).outcome, "succeeded");
    EXPECT_EQ(totals.at(1).runs, 2);
    EXPECT_EQ(totals.at(1).bytes, 3000000000LL);
    EXPECT_EQ(totals.at(1).lastEnded, 30);
}

} // namespace

namespace {

TEST_F(History, NoticeMarkReadBackByListAndLatest)
{
    load();
    const RunRecord first = finished(4, QStringLiteral("failed"), 1000);
    const RunRecord second = finished(4, QStringLiteral("failed"), 2000);
    QList<RunRecord> runs;
    ASSERT_TRUE(engine.history().list(runs, 4, 10));
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(int(runs.at(0).notified), 0);
    EXPECT_EQ(int(runs.at(1).notified), 0);
    ASSERT_TRUE(engine.history().markNotified(first.runno)) << engine.history().lastError().toStdString();
    runs.clear();
    ASSERT_TRUE(engine.history().list(runs, 4, 10));
    EXPECT_EQ(int(runs.at(0).notified), 0) << "only the run named";
    EXPECT_EQ(int(runs.at(1).notified), 1);
    ASSERT_TRUE(engine.history().markNotified(second.runno));
    QHash<int, RunRecord> latest;
    ASSERT_TRUE(engine.history().latest(latest));
    EXPECT_EQ(int(latest.value(4).notified), 1);
}

} // namespace
