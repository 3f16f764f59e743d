#include "fakerunner.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "requestrouter.h"
#include "sshlogin.h"
#include "tq2cabinet.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

class Methods : public ::testing::Test
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

    // One request through the root router, answered as a connection would.
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

    QJsonObject appendParams(const QString &caption)
    {
        return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                           {"path", "backup"}, {"host", "h"}, {"port", "22"}, {"userid", "zr"}, {"passwd", "pw"}};
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    RequestRouter router{engine};
    TQ2TodoRouter root;
    TQ2Cabinet cabinet;
};

TEST_F(Methods, MissingParametersAreRefusedWithTheirMessages)
{
    const QString remote = QString::fromUtf8("缺少参数: host, port, userid, passwd");
    const QString mission = QString::fromUtf8("缺少参数: caption, pool, name");
    const struct {
        const char *cmd;
        QJsonObject params;
        QString message;
    } cases[] = {
        {"zfsrep_mission_remove", QJsonObject{{"msnno", 0}}, QString::fromUtf8("缺少参数: msnno")},
        {"zfsrep_mission_remove", QJsonObject{{"msnno", -4}}, QString::fromUtf8("缺少参数: msnno")},
        {"zfsrep_mission_remove", QJsonObject{}, QString::fromUtf8("缺少参数: msnno")},
        {"zfsrep_mission_remove", QJsonObject{{"msnno", "xyz"}}, QString::fromUtf8("缺少参数: msnno")},
        {"zfsrep_pools_remote", QJsonObject{{"host", "h"}, {"userid", "u"}}, remote},
        {"zfsrep_snapshot_remote", QJsonObject{{"host", " "}, {"userid", "u"}, {"passwd", "p"}}, remote},
        {"zfsrep_mission_exists", QJsonObject{{"pool", "tank"}}, mission},
        {"zfsrep_mission_append", QJsonObject{{"caption", "c"}, {"name", "n"}}, mission},
        {"zfsrep_mission_change", QJsonObject{{"msnno", 5}, {"caption", "c"}, {"name", "n"}},
         QString::fromUtf8("缺少参数: msnno, caption, pool, name")},
        {"zfsrep_mission_change", QJsonObject{{"caption", "c"}, {"pool", "p"}, {"name", "n"}},
         QString::fromUtf8("缺少参数: msnno, caption, pool, name")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " " + QJsonDocument(c.params).toJson(QJsonDocument::Compact).toStdString());
        const QJsonObject response = call(c.cmd, c.params);
        EXPECT_EQ(response.value("err").toInt(), 9995);
        EXPECT_EQ(response.value("errmsg").toString(), c.message);
        EXPECT_FALSE(response.contains("results"));
    }
    EXPECT_TRUE(runner->runs().isEmpty());
}

TEST_F(Methods, AppendAppliesDefaultsAndTypes)
{
    QJsonObject params = appendParams("Nightly");
    params.insert("snapname", "   ");
    params.insert("increment", true);
    params.insert("erase", "yes");
    params.insert("caption", "  Nightly  ");
    const QJsonObject appended = call("zfsrep_mission_append", params);
    EXPECT_EQ(appended, (QJsonObject{{"err", 0}, {"results", QJsonObject{{"msnno", 1}}}}));
    const QJsonObject listed = call("zfsrep_mission_alload");
    ASSERT_EQ(listed.value("err").toInt(), 0);
    const QJsonObject row = listed.value("results").toObject().value("records").toArray().at(0).toObject();
    EXPECT_EQ(row.value("caption").toString(), "Nightly");
    EXPECT_EQ(row.value("snapname").toString(), "ZFSREP");
    EXPECT_EQ(row.value("increment").toInt(), 1);
    EXPECT_EQ(row.value("erase").toInt(), 1);
    EXPECT_EQ(row.value("port").toString(), "22");

    EXPECT_EQ(call("zfsrep_mission_exists", QJsonObject{{"caption", "NIGHTLY"}}).value("results").toObject(),
              (QJsonObject{{"exists", 1}}));
    EXPECT_EQ(call("zfsrep_mission_exists", QJsonObject{{"caption", "weekly"}}),
              (QJsonObject{{"err", 0}, {"results", QJsonObject{{"exists", 0}}}}));
    const QJsonObject duplicate = call("zfsrep_mission_append", appendParams("nightly"));
    EXPECT_EQ(duplicate.value("err").toInt(), 9993);
    EXPECT_FALSE(duplicate.contains("results"));
    // Each append answers its own number.
    EXPECT_EQ(call("zfsrep_mission_append", appendParams("Weekly")).value("results").toObject(),
              (QJsonObject{{"msnno", 2}}));
    EXPECT_EQ(duplicate.value("errmsg").toString(), QString::fromUtf8("任务名称已存在"));
}

TEST_F(Methods, RefusedParametersAreNamedInKeysOfTheirOwn)
{
    const struct {
        const char *cmd;
        QJsonObject params;
        QJsonObject named;
    } cases[] = {
        {"zfsrep_mission_remove", QJsonObject{}, {{"fault", "missing"}, {"fields", QJsonArray{"msnno"}}}},
        {"zfsrep_mission_append", QJsonObject{{"caption", "c"}},
         {{"fault", "missing"}, {"fields", QJsonArray{"caption", "pool", "name"}}}},
        {"zfsrep_mission_append", QJsonObject{{"caption", "c"}, {"pool", "tank"}, {"name", "d"}, {"action", 1},
                                              {"host", "h"}, {"userid", "u"}, {"passwd", "p"}, {"port", 70000}},
         {{"fault", "invalid"}, {"fields", QJsonArray{"port"}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " " + QJsonDocument(c.params).toJson(QJsonDocument::Compact).toStdString());
        const QJsonObject response = call(c.cmd, c.params);
        EXPECT_EQ(response.value("err").toInt(), 9995);
        EXPECT_EQ(response.value("fault"), c.named.value("fault"));
        EXPECT_EQ(response.value("fields"), c.named.value("fields"));
    }
    // Other refusals carry no such keys.
    const QJsonObject missing = call("zfsrep_mission_remove", QJsonObject{{"msnno", 42}});
    EXPECT_EQ(missing.value("err").toInt(), 9994);
    EXPECT_FALSE(missing.contains("fields"));
}

TEST_F(Methods, ChangeAndRemoveByNumber)
{
    ASSERT_EQ(call("zfsrep_mission_append", appendParams("one")).value("err").toInt(), 0);
    QJsonObject change = appendParams("one");
    change.insert("msnno", "1");
    change.insert("path", "elsewhere");
    EXPECT_EQ(call("zfsrep_mission_change", change).value("err").toInt(), 0);
    EXPECT_EQ(call("zfsrep_mission_remove", QJsonObject{{"msnno", 1}}), (QJsonObject{{"err", 0}}));
    const QJsonObject again = call("zfsrep_mission_remove", QJsonObject{{"msnno", 1}});
    EXPECT_EQ(again.value("err").toInt(), 9994);
    EXPECT_EQ(again.value("errmsg").toString(), QString::fromUtf8("任务名称不存在"));
}

// Keys newer than the UI: a change that does not carry one keeps the stored
// value, so an older caller's edit never drops a rule set elsewhere.
TEST_F(Methods, ChangeWithoutNewerKeysKeepsTheirStoredValues)
{
    QJsonObject append = appendParams("kept");
    append.insert("keeptarget", "10,1d30d");
    append.insert("carry", "series");
    ASSERT_EQ(call("zfsrep_mission_append", append).value("err").toInt(), 0);
    auto stored = [&] {
        QJsonObject row;
        TQ2Journals journals;
        EXPECT_TRUE(engine.missions().row(journals, 1, row));
        return row;
    };
    QJsonObject change = appendParams("kept");
    change.insert("msnno", 1);
    change.insert("path", "elsewhere");
    ASSERT_EQ(call("zfsrep_mission_change", change).value("err").toInt(), 0);
    EXPECT_EQ(stored().value("path").toString(), "elsewhere");
    EXPECT_EQ(stored().value("keeptarget").toString(), "10,1d30d");
    EXPECT_EQ(stored().value("carry").toString(), "series");
    change.insert("keeptarget", "");
    ASSERT_EQ(call("zfsrep_mission_change", change).value("err").toInt(), 0);
    EXPECT_EQ(stored().value("keeptarget").toString(), "");
    EXPECT_EQ(stored().value("carry").toString(), "series");
}

TEST_F(Methods, RemoteQueriesUsePort22WhenAbsentOrZero)
{
    runner->respond("sshpass", 0, "backup\t4294967296\t2147483648\n");
    const QJsonObject response =
        call("zfsrep_pools_remote", QJsonObject{{"host", "h"}, {"userid", "u"}, {"passwd", "p"}});
    EXPECT_EQ(response.value("err").toInt(), 0);
    EXPECT_EQ(response.value("results").toObject().value("backup").toObject(),
              (QJsonObject{{"name", "backup"}, {"size", 4096}, {"free", 2048}}));
    EXPECT_EQ(runner->runs().at(0).arguments.mid(2, 2), (QStringList{"-p", "22"}));
    EXPECT_EQ(call("zfsrep_pools_remote", QJsonObject{{"host", "h"}, {"port", 0}, {"userid", "u"}, {"passwd", "p"}})
                  .value("err")
                  .toInt(),
              0);
    EXPECT_EQ(runner->runs().at(1).arguments.mid(2, 2), (QStringList{"-p", "22"}));
}

TEST_F(Methods, RemoteQueriesRefuseABadPortWithoutRunningSsh)
{
    for (const QJsonValue &port : {QJsonValue("22; rm -rf /"), QJsonValue(1e12), QJsonValue(-5)}) {
        for (const char *cmd : {"zfsrep_pools_remote", "zfsrep_snapshot_remote"}) {
            SCOPED_TRACE(cmd);
            const QJsonObject response =
                call(cmd, QJsonObject{{"host", "h"}, {"port", port}, {"userid", "u"}, {"passwd", "p"}});
            EXPECT_EQ(response.value("err").toInt(), 9995);
            EXPECT_TRUE(response.value("errmsg").toString().startsWith(QString::fromUtf8("参数无效: port: ")));
        }
    }
    EXPECT_TRUE(runner->runs().isEmpty());
}

TEST_F(Methods, HelpRunsNothingAndAnswersCleanly)
{
    // A help request does what it was asked (hand out the help object), so
    // it answers 0 whatever the connection's previous request left.
    cabinet.setErr(9898, "earlier");
    for (const char *cmd : {"zfsrep_alload", "zfsrep_mission_append", "zfsrep_log_clear", "zfsrep_snapshot"}) {
        SCOPED_TRACE(cmd);
        const QJsonObject response = call(cmd, appendParams("x"), true);
        EXPECT_FALSE(response.contains("results"));
        EXPECT_EQ(response, (QJsonObject{{"err", 0}}));
    }
    EXPECT_TRUE(runner->runs().isEmpty());
    EXPECT_EQ(call("zfsrep_mission_alload").value("results").toObject().value("records").toArray().size(), 0);
}

TEST_F(Methods, HelpInterfacesListsTheElevenMethods)
{
    const QJsonObject listing = call(" help_interfaces ").value("results").toObject();
    const QStringList methods{"zfsrep_alload", "zfsrep_pools_remote", "zfsrep_snapshot", "zfsrep_snapshot_remote",
                              "zfsrep_mission_alload", "zfsrep_mission_exists", "zfsrep_mission_append",
                              "zfsrep_mission_change", "zfsrep_mission_remove", "zfsrep_log_alload",
                              "zfsrep_log_clear"};
    // The methods of operator control and monitoring have help texts of their
    // own (see routercontrol_test.cpp), and so has zfsrep_hostkey_forget.
    EXPECT_EQ(listing.size(), methods.size() + 1 + 6);
    EXPECT_TRUE(listing.value("zfsrep_mission_check").toObject().value("params").toObject().contains("msnno"));
    EXPECT_TRUE(listing.value("zfsrep_hostkey_forget").toObject().value("params").toObject().contains("host"));
    for (const QString &method : methods) {
        SCOPED_TRACE(method.toStdString());
        EXPECT_EQ(listing.value(method).toObject(),
                  (QJsonObject{{"comment", QString::fromUtf8("<<此接口没有提供使用说明>>")}, {"cmd", method}}));
    }
}

TEST_F(Methods, ListingAnswerIsTheSameDatagramAsTheBuiltListing)
{
    for (const char *caption : {"Nightly", "say \"hi\" \\ back", "夜间备份 \xF0\x9F\x98\x80"}) {
        QJsonObject params = appendParams(QString::fromUtf8(caption));
        params.insert("schedules", QJsonArray{QJsonObject{{"hours", QJsonArray{2}}, {"minutes", QJsonArray{30}}}});
        ASSERT_EQ(call("zfsrep_mission_append", params).value("err").toInt(), 0) << caption;
    }
    // What the server sends: the envelope with the handed-over text.
    QJsonObject response{{"err", 9999}};
    root.doSlot(&response, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, &cabinet);
    cabinet.toRetObject(response, false);
    const QByteArray text = cabinet.takeResultsJson();
    ASSERT_FALSE(text.isEmpty());
    ASSERT_TRUE(response.contains("results"));
    response.remove("results");
    const QByteArray sent = TQ2RpcPacket::toDatagram(response, text);
    // What it sent when the listing was built as one JSON value.
    QJsonObject built;
    TQ2Journals journals;
    ASSERT_TRUE(engine.listing().list(journals, built, 1, 99999999));
    ASSERT_EQ(built.value("records").toArray().size(), 3);
    EXPECT_EQ(sent, TQ2RpcPacket(QJsonObject{{"err", 0}, {"results", built}}).toDatagram());
}

TEST_F(Methods, LogListingAndClear)
{
    engine.events().log().write("Error", "GLOG_ZFSREP_SENDPOOL: tank/data SEND backup",
                            QJsonObject{{"caption", "one"}, {"result", 0}}, "zfsrep", "SYSTEM", "", "");
    const QJsonObject listed = call("zfsrep_log_alload");
    const QJsonArray records = listed.value("results").toObject().value("records").toArray();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.at(0).toObject().value("caption").toString(), "one");
    EXPECT_EQ(call("zfsrep_log_clear"), (QJsonObject{{"err", 0}}));
    EXPECT_TRUE(call("zfsrep_log_alload").value("results").toObject().value("records").toArray().isEmpty());
}

TEST_F(Methods, AFailureAfterASuccessAnswersItsOwnCode)
{
    ASSERT_EQ(call("zfsrep_mission_alload").value("err").toInt(), 0);
    runner->respond("/usr/sbin/zfs", 1, "", "cannot list");
    const QJsonObject failed = call("zfsrep_snapshot");
    EXPECT_NE(failed.value("err").toInt(), 0);
    EXPECT_FALSE(failed.contains("results"));

    // A failed statement answers ERR_SQLERROR with SQLite's message.
    int changes = 0, lastId = 0;
    ASSERT_TRUE(engine.db().exec(changes, lastId, "DROP TABLE t_mission"));
    const QJsonObject broken = call("zfsrep_mission_alload");
    EXPECT_EQ(broken.value("err").toInt(), 9975);
    EXPECT_TRUE(broken.value("errmsg").toString().contains("no such table")) << broken.value("errmsg").toString().toStdString();
    const QJsonObject exists = call("zfsrep_mission_exists", QJsonObject{{"caption", "x"}});
    EXPECT_EQ(exists.value("err").toInt(), 9975);
    EXPECT_FALSE(exists.contains("results"));
}

TEST_F(Methods, JournalEntriesOfEarlierRequestsAreNotRepeated)
{
    int changes = 0, lastId = 0;
    ASSERT_TRUE(engine.db().exec(changes, lastId, "DROP TABLE t_mission"));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(call("zfsrep_mission_alload").value("err").toInt(), 9975);
    QJsonObject request{{"cmd", "zfsrep_mission_alload"}};
    QJsonObject response{{"err", 9999}};
    root.doSlot(&response, request, &cabinet);
    cabinet.toRetObject(response, true);
    EXPECT_EQ(response.value("journals").toArray().size(), 1) << "only this request's entry";
}

TEST_F(Methods, ChangeOfAMissingMissionIsRefused)
{
    QJsonObject change = appendParams("ghost");
    change.insert("msnno", 999);
    const QJsonObject response = call("zfsrep_mission_change", change);
    EXPECT_EQ(response.value("err").toInt(), 9994);
    EXPECT_EQ(response.value("errmsg").toString(), QString::fromUtf8("任务名称不存在"));
    EXPECT_FALSE(engine.dueTable().entries().contains(999));
}

TEST_F(Methods, BadMissionsAreRefusedAndNothingIsStored)
{
    const struct {
        const char *key;
        QJsonValue value;
        const char *message;
    } cases[] = {
        {"action", 9, "参数无效: action: 9"},
        {"schedules", QJsonDocument::fromJson(R"({"hours":[3]})").object(), "参数无效: schedules: 不是列表"},
        {"port", "22; rm -rf /", "参数无效: port: 22; rm -rf /"},
        {"caption", QString::fromUtf8("a\0b", 3), "参数无效: caption: 含有控制字符"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        QJsonObject params = appendParams("bad");
        params.insert(c.key, c.value);
        const QJsonObject appended = call("zfsrep_mission_append", params);
        EXPECT_EQ(appended.value("err").toInt(), 9995);
        EXPECT_EQ(appended.value("errmsg").toString(), QString::fromUtf8(c.message));
    }
    QJsonObject exportWithoutPath = appendParams("export");
    exportWithoutPath.insert("action", 3);
    exportWithoutPath.remove("path");
    EXPECT_EQ(call("zfsrep_mission_append", exportWithoutPath).value("errmsg").toString(),
              QString::fromUtf8("缺少参数: path"));
    EXPECT_TRUE(call("zfsrep_mission_alload").value("results").toObject().value("records").toArray().isEmpty());
    EXPECT_TRUE(engine.dueTable().entries().isEmpty());

    // A change is held to the same rules and leaves the row as it was. (The
    // full table of rules is the validator's own test.)
    ASSERT_EQ(call("zfsrep_mission_append", appendParams("good")).value("err").toInt(), 0);
    QJsonObject change = appendParams("good");
    change.insert("msnno", 1);
    change.insert("port", 70000);
    EXPECT_EQ(call("zfsrep_mission_change", change).value("errmsg").toString(),
              QString::fromUtf8("参数无效: port: 70000"));
    const QJsonObject row =
        call("zfsrep_mission_alload").value("results").toObject().value("records").toArray().at(0).toObject();
    EXPECT_EQ(row.value("port").toString(), "22");
}

TEST_F(Methods, PasswordsAreStoredAsGivenAndPortDefaultsTo22)
{
    QJsonObject params = appendParams("spaced");
    params.insert("passwd", " pass word ");
    params.remove("port");
    ASSERT_EQ(call("zfsrep_mission_append", params).value("err").toInt(), 0);
    const QJsonObject row =
        call("zfsrep_mission_alload").value("results").toObject().value("records").toArray().at(0).toObject();
    EXPECT_EQ(row.value("passwd").toString(), " pass word ");
    EXPECT_EQ(row.value("port").toString(), "22");
}

TEST_F(Methods, ChangeWithoutActionIsCheckedAgainstTheStoredOne)
{
    ASSERT_EQ(call("zfsrep_mission_append", appendParams("send")).value("err").toInt(), 0);
    QJsonObject change = appendParams("send");
    change.remove("action");
    change.insert("msnno", 1);
    change.insert("path", "elsewhere");
    EXPECT_EQ(call("zfsrep_mission_change", change), (QJsonObject{{"err", 0}}));
    change.remove("host");
    EXPECT_EQ(call("zfsrep_mission_change", change).value("errmsg").toString(), QString::fromUtf8("缺少参数: host"))
        << "the stored mission sends, so it needs a host";
    change.insert("msnno", 42);
    EXPECT_EQ(call("zfsrep_mission_change", change).value("err").toInt(), 9994);
}

} // namespace

namespace {

// The service's key makes an empty password acceptable, for queries and for
// missions alike; without it an empty password is still refused.
TEST_F(Methods, EmptyPasswordNeedsTheServiceKey)
{
    const QJsonObject query{{"host", "h"}, {"port", 2222}, {"userid", "zr"}, {"passwd", ""}};
    QJsonObject mission = appendParams("keyed");
    mission.insert("passwd", "");

    EXPECT_EQ(call("zfsrep_pools_remote", query).value("errmsg").toString(),
              QString::fromUtf8("缺少参数: host, port, userid, passwd"));
    EXPECT_EQ(call("zfsrep_mission_append", mission).value("errmsg").toString(), QString::fromUtf8("缺少参数: passwd"));
    EXPECT_TRUE(runner->runs().isEmpty());

    SshLogin::setIdentityFile("/etc/zfsrep/id_ed25519");
    runner->respond("ssh -p 2222", 0, "backup\t4294967296\t4294045696\n");
    const QJsonObject pools = call("zfsrep_pools_remote", query);
    const QJsonObject snapshots = call("zfsrep_snapshot_remote", query);
    const QJsonObject appended = call("zfsrep_mission_append", mission);
    SshLogin::setIdentityFile(QString());
    EXPECT_EQ(pools.value("err").toInt(), 0) << QJsonDocument(pools).toJson().toStdString();
    EXPECT_EQ(snapshots.value("err").toInt(), 0);
    EXPECT_EQ(appended.value("err").toInt(), 0);
    ASSERT_FALSE(runner->runs().isEmpty());
    for (const ProcessRequest &request : runner->runs()) {
        EXPECT_EQ(request.program, "ssh");
        EXPECT_TRUE(request.arguments.contains("/etc/zfsrep/id_ed25519"));
        EXPECT_FALSE(request.environment.contains("SSHPASS"));
    }
}

TEST_F(Methods, HostKeyForgetRemovesTheHostsEntry)
{
    SshLogin::setKnownHostsFile(dir.filePath("zfsrep.known_hosts"));
    runner->respond("ssh-keygen -R [127.0.0.1]:2222", 0, "# Host [127.0.0.1]:2222 found: line 1\n");
    const QJsonObject found = call("zfsrep_hostkey_forget", QJsonObject{{"host", "127.0.0.1"}, {"port", "2222"}});
    EXPECT_EQ(found, (QJsonObject{{"err", 0}, {"results", QJsonObject{{"found", true}}}}));
    const QJsonObject absent = call("zfsrep_hostkey_forget", QJsonObject{{"host", "backup"}});
    EXPECT_EQ(absent, (QJsonObject{{"err", 0}, {"results", QJsonObject{{"found", false}}}}));
    ASSERT_EQ(runner->runLines().size(), 2);
    EXPECT_EQ(runner->runLines().at(0),
              "ssh-keygen -R [127.0.0.1]:2222 -f " + SshLogin::knownHostsFile());
    EXPECT_EQ(runner->runLines().at(1), "ssh-keygen -R backup -f " + SshLogin::knownHostsFile());

    const struct {
        QJsonObject params;
        QString message;
    } refused[] = {
        {QJsonObject{}, QString::fromUtf8("缺少参数: host")},
        {QJsonObject{{"host", "-oProxyCommand=x"}}, QString::fromUtf8("参数无效: host")},
        {QJsonObject{{"host", "h"}, {"port", 70000}}, QString::fromUtf8("参数无效: port: 70000")},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.message.toStdString());
        const QJsonObject response = call("zfsrep_hostkey_forget", c.params);
        EXPECT_EQ(response.value("err").toInt(), 9995);
        EXPECT_EQ(response.value("errmsg").toString(), c.message);
    }
    EXPECT_EQ(runner->runLines().size(), 2) << "nothing runs for a refused request";
    EXPECT_TRUE(QFile::exists(dir.filePath("zfsrep.known_hosts")));
    SshLogin::setKnownHostsFile(SshLogin::kDefaultKnownHostsFile);
}

} // namespace
