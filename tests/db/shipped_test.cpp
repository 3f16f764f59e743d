// The shipped engine resource: its catalogue, and the mission statements run
// against a database made by the shipped creator.
#include "dbtesthelpers.h"
#include "tq2utils.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

namespace {

const QStringList kMissionKeys{"msnno", "time", "done", "caption", "action", "pool", "name",
                               "path", "host", "port", "userid", "passwd", "increment",
                               "erase", "encrypt", "encryptkey", "schedules", "finishedtime",
                               "snapname", "ratelimit", "keepsource", "keeptarget", "carry", "hook"};

QSet<QString> setOf(const QStringList &list)
{
    return QSet<QString>(list.begin(), list.end());
}

class Shipped : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(db.open(dir.filePath("zfsrep.db"), dbtest::engineResource(),
                            dbtest::creatorResource()))
            << qPrintable(db.lastError());
    }
    QJsonObject mission(int msnno)
    {
        QList<QJsonObject> rows;
        EXPECT_TRUE(db.call(rows, "mission_acquit", {{"msnno", msnno}}));
        return rows.value(0);
    }
    QTemporaryDir dir;
    TQ2DBSqlite db;
};

TEST_F(Shipped, CatalogueHoldsFortyThreeStatements)
{
    const QJsonObject catalogue = db.sqlEngine();
    const QStringList expected{
        "configure_alload", "configure_get", "configure_change", "configure_append",
        "dbupgrade_version", "dbupgrade_v1_1", "dbupgrade_v2_1",
        "dbupgrade_v3_1", "dbupgrade_v3_2", "dbupgrade_v3_3", "dbupgrade_v4_1", "dbupgrade_v4_2",
        "dbupgrade_v4_3", "dbupgrade_v4_4", "dbupgrade_v4_5", "dbupgrade_v4_6", "dbupgrade_v4_7",
        "dbupgrade_v4_8", "mission_rearm",
        "configure_instance", "configure_instance_create", "run_pruned", "run_file",
        "run_begin", "run_finish", "run_notified", "run_prune", "run_remove", "run_interrupt", "run_list", "run_latest", "run_summary",
        "mission_alload", "mission_acquit", "mission_detail", "mission_append", "mission_change",
        "mission_remove", "mission_finished", "mission_complete", "mission_stamp",
        "mission_caption_unique", "mission_caption_index", "mission_caption_unindex",
        "logger_alload", "logger_clear", "snapshot_alload", "snapshot_loadby", "mission_append22",
        "dcshost_alload", "dcshost_submit", "dcshost_append", "dcshost_setaccount",
        "dcsnode_alload", "dcsnode_acquit", "dcsnode_append", "dcsnode_announce",
        "dcsnode_change_state", "dcsnode_ready", "dcsnode_clear", "dcsnode_attach",
        "dcsnode_detach", "dcsgate_alload", "dcsgate_acquit", "dcsgate_submit", "dcsgate_append",
        "dcsgate_change_onlined", "dcsgate_remove", "dcsgate_clear"};
    EXPECT_EQ(setOf(catalogue.keys()), setOf(expected));
    int parsed = 0;
    for (const QString &id : catalogue.keys())
        parsed += catalogue.value(id).toObject().contains("id") ? 1 : 0;
    EXPECT_EQ(parsed, 65);

    EXPECT_EQ(catalogue.value("dbupgrade_v1_1").toObject().value("text"),
              "ALTER TABLE t_mission ADD COLUMN msn_finishedtime TEXT DEFAULT '';\n");
    EXPECT_EQ(catalogue.value("dbupgrade_v2_1").toObject().value("text"),
              "ALTER TABLE t_mission ADD COLUMN msn_snapname TEXT DEFAULT '';\n");
}

TEST_F(Shipped, MissionStatementsDeclareTheirParameters)
{
    const QJsonObject catalogue = db.sqlEngine();
    const QJsonObject fields{{"pool", "string"},      {"name", "string"},     {"path", "string"},
                             {"host", "string"},      {"port", "integer"},    {"userid", "string"},
                             {"passwd", "string"},    {"increment", "integer"}, {"erase", "integer"},
                             {"encrypt", "integer"},  {"encryptkey", "integer"},
                             {"schedules", "string"}, {"snapname", "string"}, {"ratelimit", "integer"},
                             {"keepsource", "string"}, {"keeptarget", "string"}, {"carry", "string"},
                             {"hook", "string"}};
    const struct {
        const char *id;
        QJsonObject params;
    } cases[] = {
        {"mission_alload", {}},
        {"mission_acquit", {{"msnno", "integer"}}},
        {"mission_detail", {{"caption", "string"}}},
        {"mission_append", jsonMerge(fields, {{"caption", "string"}, {"action", "integer"}})},
        {"mission_change", jsonMerge(fields, {{"msnno", "integer"}, {"action", "integer"}})},
        {"mission_remove", {{"msnno", "integer"}}},
        {"mission_finished", {{"msnno", "integer"}, {"done", "integer"}}},
        {"mission_complete", {{"msnno", "integer"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(catalogue.value(c.id).toObject().value("params").toObject(), c.params);
    }
    // The table definition after mission_append22's declarations is read as
    // declarations, never as statement text.
    const QJsonObject append22 = catalogue.value("mission_append22").toObject();
    EXPECT_EQ(append22.value("params").toObject().value("CREATE"), "table");
    EXPECT_FALSE(append22.value("text").toString().contains("CREATE"));
}

TEST_F(Shipped, MissionLifecycle)
{
    int changes = 0;
    int lastId = 0;
    const QJsonObject values{
        {"caption", "Nightly"}, {"action", 1},       {"pool", "tank"},       {"name", "data"},
        {"path", "/mnt/x"},     {"host", "10.0.0.2"}, {"port", 22},          {"userid", "root"},
        {"passwd", "pw"},       {"increment", true}, {"erase", 0},          {"encrypt", 0},
        {"encryptkey", 0},      {"schedules", "[{\"hours\":[1]}]"},        {"snapname", "zr"},
        {"finishedtime", "ignored"}, {"done", 5},  {"keepsource", "5,1h24h"}, {"keeptarget", "10"},
        {"carry", "series"},    {"hook", "db"}};
    ASSERT_TRUE(db.call(changes, lastId, "mission_append", values)) << qPrintable(db.lastError());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(lastId, 1);

    QJsonObject row = mission(1);
    EXPECT_EQ(setOf(row.keys()), setOf(kMissionKeys));
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                    .match(row.value("time").toString()).hasMatch());
    row.remove("time");
    EXPECT_EQ(row, (QJsonObject{{"msnno", 1},         {"done", 0},         {"caption", "Nightly"},
                                {"action", 1},        {"pool", "tank"},    {"name", "data"},
                                {"path", "/mnt/x"},   {"host", "10.0.0.2"}, {"port", "22"},
                                {"userid", "root"},   {"passwd", "pw"},    {"increment", 1},
                                {"erase", 0},         {"encrypt", 0},      {"encryptkey", 0},
                                {"schedules", "[{\"hours\":[1]}]"},        {"finishedtime", ""},
                                {"snapname", "zr"},   {"ratelimit", 0},    {"keepsource", "5,1h24h"},
                                {"keeptarget", "10"}, {"carry", "series"}, {"hook", "db"}}));

    QList<QJsonObject> rows;
    ASSERT_TRUE(db.call(rows, "mission_detail", {{"caption", "NIGHTLY"}}));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].value("msnno"), 1);

    // Missing values take the declared defaults.
    ASSERT_TRUE(db.call(changes, lastId, "mission_append", {{"caption", "Second"}}));
    EXPECT_EQ(lastId, 2);
    EXPECT_EQ(mission(2).value("schedules"), "");
    EXPECT_EQ(mission(2).value("port"), "0");

    ASSERT_TRUE(db.call(changes, lastId, "mission_change",
                        jsonMerge(values, {{"msnno", 1}, {"caption", "Renamed"}, {"action", 3},
                                           {"pool", "other"}, {"erase", 1}})));
    EXPECT_EQ(changes, 1);
    row = mission(1);
    EXPECT_EQ(row.value("caption"), "Nightly");
    EXPECT_EQ(row.value("action"), 1);
    EXPECT_EQ(row.value("pool"), "other");
    EXPECT_EQ(row.value("erase"), 1);

    ASSERT_TRUE(db.call("mission_finished", {{"msnno", 1}, {"done", 2}}));
    EXPECT_EQ(mission(1).value("done"), 2);
    EXPECT_FALSE(mission(1).value("finishedtime").toString().isEmpty());
    ASSERT_TRUE(db.call("mission_complete", {{"msnno", 1}}));
    EXPECT_EQ(mission(1).value("done"), 1);

    rows.clear();
    ASSERT_TRUE(db.call(rows, "mission_alload", {{"page", 1}, {"ofpage", 1}}));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].value("msnno"), 1);
    EXPECT_EQ(rows[1].value("msnno"), 2);

    ASSERT_TRUE(db.call(changes, lastId, "mission_remove", {{"msnno", 1}}));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(mission(1).isEmpty());
}

// Statements no operation runs still have to be valid SQL; their tables are
// made here (t_snapshot from the definition the resource carries).
TEST_F(Shipped, EveryStatementRunsOnItsTables)
{
    const QString source = db.sqlSource();
    const int from = source.indexOf("CREATE TABLE t_snapshot");
    ASSERT_GE(from, 0);
    const QString snapshotTable = source.mid(from, source.indexOf(");", from) + 2 - from);
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, snapshotTable)) << qPrintable(db.lastError());
    ASSERT_TRUE(db.exec(changes, lastId,
        "CREATE TABLE t_dcshost (dch_no INTEGER PRIMARY KEY, dch_time, dch_host, dch_port,"
        " dch_userid, dch_passwd);"
        "CREATE TABLE t_dcsnode (dcn_no INTEGER PRIMARY KEY, dcn_time, dcn_hostno, dcn_name,"
        " dcn_address, dcn_state, dcn_ready, dcn_attached, dcn_announced);"
        "CREATE TABLE t_dcsgate (dcg_no INTEGER PRIMARY KEY, dcg_time, dcg_nodeno, dcg_name,"
        " dcg_address, dcg_port, dcg_onlined);"));

    const QJsonObject catalogue = db.sqlEngine();
    for (const QString &id : catalogue.keys()) {
        if (QRegularExpression("^dbupgrade_v\\d+_").match(id).hasMatch()) // columns exist already
            continue;
        SCOPED_TRACE(qPrintable(id));
        const QJsonObject params = catalogue.value(id).toObject().value("params").toObject();
        QJsonObject values;
        for (const QString &name : params.keys())
            values.insert(name, params.value(name) == "string" ? QJsonValue("v") : QJsonValue(1));
        EXPECT_TRUE(db.call(id, values)) << qPrintable(db.lastError());
    }
    EXPECT_EQ(db.dbVersion(), 1); // dbupgrade_version ran with ver 1
}

} // namespace
