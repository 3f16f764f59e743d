#include "rpctestkit.h"

#include "tq2cabinet.h"
#include "tq2todorouter.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

// A second router publishing a name the first one also has, plus its own.
class OtherRouter : public TQ2TodoRouter
{
    Q_OBJECT
public slots:
    void echo(QJsonObject *retObject, QJsonObject, TQ2Cabinet *envObject)
    {
        retObject->insert("results", "other");
        envObject->setErr(0, QString());
    }
    void other_only(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (cmdObject.contains("help")) {
            *retObject = QJsonObject{{"comment", "only here"}, {"params-comment", "kept"}};
            return;
        }
        retObject->insert("results", "other_only");
        envObject->setErr(0, QString());
    }
    void __LS__echo(QJsonObject *retObject, QJsonObject, TQ2Cabinet *) { retObject->insert("results", "ls-other"); }
    void wrong_signature(QJsonObject *, QJsonObject) {}
};

struct Call {
    bool found;
    QJsonObject response;
    TQ2Cabinet cabinet;
};

void slot(TQ2TodoRouter &router, const QJsonObject &request, Call &call)
{
    call.found = router.doSlot(&call.response, request, &call.cabinet);
}

TEST(TQ2TodoRouter, FindsSlotsByTrimmedCommand)
{
    TestRouter router;
    Call call;
    slot(router, {{"cmd", "  echo\t"}, {"params", QJsonObject{{"v", 1}}}}, call);
    EXPECT_TRUE(call.found);
    EXPECT_EQ(call.response.value("results"), (QJsonObject{{"v", 1}}));
    EXPECT_EQ(call.cabinet.err(), 0);
}

TEST(TQ2TodoRouter, ReportsMissingAndBlankCommands)
{
    const struct {
        const char *name;
        QJsonObject request;
        bool writesErr;
    } cases[] = {
        {"unknown", {{"cmd", "nosuch"}}, true},
        {"not a slot signature", {{"cmd", "wrong_signature"}}, true},
        {"QObject method", {{"cmd", "deleteLater"}}, true},
        {"blank", {{"cmd", "   "}}, false},
        {"missing", {{"params", QJsonObject{}}}, false},
        {"not text", {{"cmd", 5}}, false},
    };
    TestRouter router;
    OtherRouter other;
    router.add(&other);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Call call;
        slot(router, c.request, call);
        EXPECT_FALSE(call.found);
        EXPECT_EQ(call.response.contains("err"), c.writesErr);
        if (c.writesErr) {
            EXPECT_EQ(call.response.value("err").toInt(), 9885);
        }
        EXPECT_EQ(call.cabinet.err(), 9999) << "the journal is left alone";
    }
}

TEST(TQ2TodoRouter, DoCallLooksForTheLsPrefix)
{
    TestRouter router;
    OtherRouter other;
    router.add(&other);
    QJsonObject response;
    TQ2Cabinet cabinet;
    EXPECT_TRUE(router.doCall(&response, {{"cmd", "plain"}}, &cabinet));
    EXPECT_EQ(response.value("results"), "ls");
    response = {};
    EXPECT_TRUE(router.doCall(&response, {{"cmd", " echo "}}, &cabinet)) << "found in the child";
    EXPECT_EQ(response.value("results"), "ls-other");
    response = {};
    EXPECT_FALSE(router.doCall(&response, {{"cmd", "other_only"}}, &cabinet));
    EXPECT_EQ(response.value("err").toInt(), 9885);
    EXPECT_FALSE(router.doSlot(nullptr, {{"cmd", "nosuch"}}, &cabinet)) << "no response object is fine";
}

TEST(TQ2TodoRouter, ParentWinsThenChildrenInOrder)
{
    TestRouter router;
    OtherRouter first;
    OtherRouter second;
    router.add(&first);
    router.add(&second);
    router.add(&first);
    router.add(nullptr);
    router.add(&router);
    EXPECT_EQ(router.list(), (QList<TQ2TodoRouter *>{&first, &second}));
    Call call;
    slot(router, {{"cmd", "echo"}, {"params", 1}}, call);
    EXPECT_EQ(call.response.value("results"), 1) << "the router's own slot comes first";
    Call child;
    slot(router, {{"cmd", "other_only"}}, child);
    EXPECT_TRUE(child.found);
    EXPECT_EQ(child.response.value("results"), "other_only");
    router.del(&first);
    EXPECT_EQ(router.list(), QList<TQ2TodoRouter *>{&second});
}

TEST(TQ2TodoRouter, HelpInterfacesListsTheTree)
{
    TestRouter router;
    OtherRouter other;
    router.add(&other);
    Call call;
    slot(router, {{"cmd", " help_interfaces "}, {"params", QJsonObject{{"cmd", "echo"}}}}, call);
    ASSERT_TRUE(call.found);
    EXPECT_EQ(call.cabinet.err(), 0);
    const QJsonObject results = call.response.value("results").toObject();

    const QStringList names = results.keys();
    EXPECT_EQ(names, (QStringList{"echo", "fail", "help_interfaces", "other_only", "plain", "protocol", "quiet", "slow"}))
        << "no \"_\" names, no unpublished, no foreign signatures";

    EXPECT_EQ(results.value("help_interfaces").toObject(),
              (QJsonObject{{"cmd", "help_interfaces"},
                           {"comment", QString::fromUtf8("获取接口的使用说明")},
                           {"params", QJsonObject{{"cmd", QString::fromUtf8("接口名(可选)")}}},
                           {"params-comment",
                            QJsonObject{{"cmd", QString::fromUtf8("可选的接口名, 不指定时显示所有接口的使用说明")}}}}));
    EXPECT_EQ(results.value("echo").toObject(),
              (QJsonObject{{"cmd", "echo"}, {"comment", "echoes its parameters"},
                           {"params", QJsonObject{{"any", "anything"}}},
                           {"token-comment", QString::fromUtf8("允许不传token，但已登录时建议传入")}}))
        << "the parent's entry wins over the child's";
    EXPECT_EQ(results.value("fail").toObject(),
              (QJsonObject{{"cmd", "fail"}, {"comment", "always fails"},
                           {"params-comment", QString::fromUtf8("本接口没有参数")},
                           {"token", QString::fromUtf8("登录成功时返回的token")},
                           {"token-comment", QString::fromUtf8("登录成功时返回的token")}}));
    EXPECT_EQ(results.value("other_only").toObject().value("params-comment"), QString::fromUtf8("本接口没有参数"));
    for (const char *bare : {"plain", "protocol", "quiet", "slow"}) {
        SCOPED_TRACE(bare);
        EXPECT_EQ(results.value(bare).toObject(),
                  (QJsonObject{{"cmd", bare}, {"comment", QString::fromUtf8("<<此接口没有提供使用说明>>")}}));
    }

    QStringList list;
    router.allInterfaces(list);
    EXPECT_EQ(list, (QStringList{"help_interfaces", "echo", "fail", "count", "slow", "plain", "protocol", "quiet",
                                 "other_only"}))
        << "declaration order, unpublished included, no duplicates";
}

TEST(TQ2Cabinet, IsAJournalWithLockedStores)
{
    TQ2Cabinet cabinet;
    TQ2Journals &journals = cabinet;
    journals.setErr(9994, "gone");
    EXPECT_EQ(cabinet.err(), 9994);

    cabinet.insert("protocol", 128);
    EXPECT_EQ(cabinet.value("protocol"), 128);
    EXPECT_EQ(cabinet.object(), (QJsonObject{{"protocol", 128}}));

    QJsonValue value;
    EXPECT_FALSE(cabinet.get("k", value));
    cabinet.set("k", "v");
    cabinet.set("n", 2);
    EXPECT_TRUE(cabinet.get("k", value));
    EXPECT_EQ(value, "v");
    EXPECT_EQ(cabinet.getString("k"), "v");
    EXPECT_EQ(cabinet.getString("n"), "");
    EXPECT_TRUE(cabinet.contains("n"));
    cabinet.remove("n");
    EXPECT_EQ(cabinet.keys(), QStringList{"k"});
    cabinet.clear();
    EXPECT_TRUE(cabinet.keys().isEmpty());

    EXPECT_FALSE(cabinet.isLocal());
    cabinet.setLocal(true);
    EXPECT_TRUE(cabinet.isLocal());
    cabinet.setToken("t");
    EXPECT_EQ(cabinet.token(), "t");
}

} // namespace

#include "router_test.moc"
