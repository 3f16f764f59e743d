// The RPC methods of operator control and monitoring through the router:
// parameters, refusals, answers and help texts; and the bandwidth limit field
// of append and change.
#include "fakerunner.h"
#include "mxzfsrep.h"
#include "requestrouter.h"
#include "runhistory.h"
#include "tq2cabinet.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

class ControlMethods : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setRunner(runner);
        engine.setDatabasePath(dir.filePath("zfsrep.db"));
        engine.events().open(dir.filePath("tarnlog.db"));
        TQ2Journals journals;
        ASSERT_TRUE(router.loadConfigure(journals, QJsonObject()));
        root.add(&router);
    }

    QJsonObject call(const QString &cmd, const QJsonObject &params = QJsonObject(), bool help = false)
    {
        QJsonObject request{{"cmd", cmd}, {"params", params}};
        if (help)
            request.insert("help", 1);
        QJsonObject response{{"err", 9999}};
        root.doSlot(&response, request, &cabinet);
        cabinet.toRetObject(response, false);
        // Results handed over as text stand in the answer as the server
        // writes them.
        const QByteArray json = cabinet.takeResultsJson();
        if (!json.isEmpty() && response.contains("results"))
            response.insert("results", QJsonDocument::fromJson("[" + json + "]").array().at(0));
        return response;
    }

    QJsonObject mission(const QString &caption)
    {
        return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                           {"path", "backup"}, {"host", "h"}, {"port", 22}, {"userid", "zr"}, {"passwd", "pw"},
                           {"schedules", QJsonDocument::fromJson(R"([{"hours":[3],"minutes":[0]}])").array()}};
    }

    QJsonArray records() { return call("zfsrep_mission_alload").value("results").toObject().value("records").toArray(); }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    RequestRouter router{engine};
    TQ2TodoRouter root;
    TQ2Cabinet cabinet;
};

TEST_F(ControlMethods, BadParametersAreRefused)
{
    const QString number = QString::fromUtf8("缺少参数: msnno");
    const struct {
        const char *name;
        const char *cmd;
        QJsonObject params;
        QString message;
    } cases[] = {
        {"run without a number", "zfsrep_mission_run", {}, number},
        {"run of a negative number", "zfsrep_mission_run", {{"msnno", -1}}, number},
        {"cancel without a number", "zfsrep_mission_cancel", {{"msnno", "x"}}, number},
        {"check without a number", "zfsrep_mission_check", {}, number},
        {"history without a number", "zfsrep_mission_history", {{"limit", 5}}, number},
        {"history limit zero", "zfsrep_mission_history", {{"msnno", 1}, {"limit", 0}},
         QString::fromUtf8("参数无效: limit: 0")},
        {"history limit above the most", "zfsrep_mission_history", {{"msnno", 1}, {"limit", 1001}},
         QString::fromUtf8("参数无效: limit: 1001")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject response = call(c.cmd, c.params);
        EXPECT_EQ(response.value("err").toInt(), 9995);
        EXPECT_EQ(response.value("errmsg").toString(), c.message);
        EXPECT_FALSE(response.contains("results"));
    }
}

TEST_F(ControlMethods, RunAndCancelAnswerWhyTheyCannotAct)
{
    ASSERT_EQ(call("zfsrep_mission_append", mission("one")).value("err").toInt(), 0);
    const QJsonObject unknown = call("zfsrep_mission_check", QJsonObject{{"msnno", 99}});
    EXPECT_EQ(unknown.value("err").toInt(), 9994);
    EXPECT_EQ(unknown.value("errmsg").toString(), QString::fromUtf8("任务不存在: 99"));
    const QJsonObject missing = call("zfsrep_mission_run", QJsonObject{{"msnno", 99}});
    EXPECT_EQ(missing.value("err").toInt(), 9994);
    EXPECT_EQ(missing.value("errmsg").toString(), QString::fromUtf8("任务不存在: 99"));
    const QJsonObject noScheduler = call("zfsrep_mission_run", QJsonObject{{"msnno", 1}});
    EXPECT_EQ(noScheduler.value("err").toInt(), 9985);
    const QJsonObject notRunning = call("zfsrep_mission_cancel", QJsonObject{{"msnno", 1}});
    EXPECT_EQ(notRunning.value("err").toInt(), 9985);
    EXPECT_EQ(notRunning.value("errmsg").toString(), QString::fromUtf8("任务没有运行: 1"));
    EXPECT_TRUE(runner->runs().isEmpty());
}

TEST_F(ControlMethods, HistoryAnswersNewestFirstWithEveryField)
{
    for (int i = 0; i < 3; ++i) {
        RunRecord run;
        run.msnno = 1;
        run.caption = "one";
        run.action = 1;
        run.started = 1000 + i;
        ASSERT_TRUE(engine.history().begin(run));
        run.ended = 2000 + i;
        run.outcome = i == 2 ? "failed" : "succeeded";
        run.error = i == 2 ? "Permission denied" : "";
        run.kind = "full";
        run.bytes = 4096;
        ASSERT_TRUE(engine.history().finish(run));
    }
    const QJsonObject defaults = call("zfsrep_mission_history", QJsonObject{{"msnno", 1}});
    ASSERT_EQ(defaults.value("err").toInt(), 0);
    const QJsonArray runs = defaults.value("results").toArray();
    ASSERT_EQ(runs.size(), 3);
    const QJsonObject newest = runs.at(0).toObject();
    EXPECT_EQ(newest.keys(), (QStringList{"action", "base", "bytes", "caption", "ended", "error", "file", "kind",
                                          "msnno", "outcome", "prunedsource", "prunedtarget", "rate", "runno",
                                          "started", "target"}));
    EXPECT_EQ(newest.value("prunedsource").toInt(-1), 0);
    EXPECT_EQ(newest.value("outcome").toString(), "failed");
    EXPECT_EQ(newest.value("error").toString(), "Permission denied");
    EXPECT_EQ(newest.value("started").toInt(), 1002);
    const QJsonArray limited =
        call("zfsrep_mission_history", QJsonObject{{"msnno", 1}, {"limit", "2"}}).value("results").toArray();
    ASSERT_EQ(limited.size(), 2);
    EXPECT_EQ(limited.at(1).toObject().value("started").toInt(), 1001);
    EXPECT_EQ(call("zfsrep_mission_history", QJsonObject{{"msnno", 2}}),
              (QJsonObject{{"err", 0}, {"results", QJsonArray()}}));
}

TEST_F(ControlMethods, MetricsAnswerTheExpositionText)
{
    ASSERT_EQ(call("zfsrep_mission_append", mission("one")).value("err").toInt(), 0);
    const QJsonObject response = call("zfsrep_metrics");
    ASSERT_EQ(response.value("err").toInt(), 0);
    const QString text = response.value("results").toObject().value("text").toString();
    EXPECT_TRUE(text.contains("# TYPE zfsrep_mission_running gauge\n"));
    EXPECT_TRUE(text.contains("zfsrep_mission_running{msnno=\"1\",caption=\"one\"} 0\n"));
    EXPECT_TRUE(text.contains("zfsrep_mission_schedule_period_seconds{msnno=\"1\",caption=\"one\"} 86400\n"));
}

TEST_F(ControlMethods, ListingShowsRunFieldsAndTheBandwidthLimit)
{
    QJsonObject params = mission("limited");
    params.insert("ratelimit", 1048576);
    ASSERT_EQ(call("zfsrep_mission_append", params).value("err").toInt(), 0);
    QJsonObject row = records().at(0).toObject();
    EXPECT_EQ(row.value("ratelimit").toInt(), 1048576);
    EXPECT_EQ(row.value("state").toString(), "armed");
    EXPECT_GT(row.value("nextrun").toDouble(), 0);
    EXPECT_EQ(row.value("lastrun").toDouble(), 0);
    EXPECT_EQ(row.value("lastresult").toString(), "");
    EXPECT_EQ(row.value("lasterror").toString(), "");

    params.insert("msnno", 1);
    params.insert("ratelimit", 500000);
    ASSERT_EQ(call("zfsrep_mission_change", params).value("err").toInt(), 0);
    EXPECT_EQ(records().at(0).toObject().value("ratelimit").toInt(), 500000);
}

TEST_F(ControlMethods, NewMethodsHaveHelpTextsAndDoNothingForHelp)
{
    const QJsonObject listing = call("help_interfaces").value("results").toObject();
    for (const char *method : {"zfsrep_mission_run", "zfsrep_mission_cancel", "zfsrep_mission_history",
                               "zfsrep_metrics"}) {
        SCOPED_TRACE(method);
        const QJsonObject help = listing.value(method).toObject();
        EXPECT_FALSE(help.value("comment").toString().isEmpty());
        EXPECT_NE(help.value("comment").toString(), QString::fromUtf8("<<此接口没有提供使用说明>>"));
        EXPECT_EQ(help.value("cmd").toString(), method);
        // Answered cleanly whatever the connection's previous request left.
        cabinet.setErr(9898, "earlier");
        const QJsonObject direct = call(method, QJsonObject{{"msnno", 1}}, true);
        EXPECT_FALSE(direct.contains("results"));
        EXPECT_EQ(direct.value("err").toInt(-1), 0) << QJsonDocument(direct).toJson().toStdString();
        EXPECT_FALSE(direct.contains("errmsg"));
    }
    EXPECT_TRUE(listing.value("zfsrep_mission_history").toObject().value("params").toObject().contains("limit"));
}

} // namespace
