// Results handed over already serialized: the datagram built around them
// reads back as the same object as one serialized whole, the cached
// help_interfaces listing follows changes of the router tree, and a
// connection never carries one request's serialized results into the next
// answer.
#include "rpctestkit.h"

#include "tq2error.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonObject parsed(QByteArray datagram)
{
    TQ2RpcPacket packet;
    EXPECT_EQ(packet.fromDatagram(datagram), TQ2RpcPacket::Complete);
    EXPECT_TRUE(datagram.isEmpty()) << "bytes left after the datagram";
    return packet.object;
}

struct SpliceRow {
    const char *name;
    QJsonObject envelope;
    QJsonValue results;
};

class SplicedDatagram : public ::testing::TestWithParam<SpliceRow>
{
};

TEST_P(SplicedDatagram, ReadsBackAsTheWholeObject)
{
    const SpliceRow &row = GetParam();
    const QByteArray json = QJsonDocument::fromVariant(QVariantMap{{"v", row.results.toVariant()}})
                                .toJson(QJsonDocument::Compact);
    // The compact text of the value alone: cut it out of {"v":...}.
    const QByteArray valueJson = json.mid(5, json.size() - 6);
    QJsonObject whole = row.envelope;
    whole.insert("results", row.results);
    EXPECT_EQ(parsed(TQ2RpcPacket::toDatagram(row.envelope, valueJson)), whole);
    EXPECT_EQ(parsed(TQ2RpcPacket::toDatagram(row.envelope, valueJson)), parsed(TQ2RpcPacket(whole).toDatagram()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplicedDatagram,
    ::testing::Values(
        SpliceRow{"EmptyEnvelope", QJsonObject(), QJsonObject{{"a", 1}}},
        SpliceRow{"ErrOnly", QJsonObject{{"err", 0}}, QJsonObject{{"help_interfaces", QJsonObject{{"cmd", "x"}}}}},
        SpliceRow{"ErrAndMessage", QJsonObject{{"err", 9885}, {"errmsg", "被调用的方法不存在: x"}},
                  QJsonArray{1, "二", QJsonObject{}}},
        SpliceRow{"DebuggingKeys",
                  QJsonObject{{"err", 0}, {"elapsed", 12}, {"journals", QJsonArray{QJsonObject{{"place", "p#1"}}}}},
                  QJsonValue("text with \"quotes\" and \\ and \n")},
        SpliceRow{"NumberResults", QJsonObject{{"err", 0}}, QJsonValue(1.5)},
        SpliceRow{"KeysSortedAfterResults", QJsonObject{{"err", 0}, {"token", "t"}, {"seq", 4}}, QJsonValue(true)}),
    [](const auto &info) { return std::string(info.param.name); });

class ExtraRouter : public TQ2TodoRouter
{
    Q_OBJECT
public slots:
    void extra_method(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *)
    {
        if (cmdObject.contains("help"))
            *retObject = QJsonObject{{"comment", "added later"}};
    }
};

QJsonObject listingOf(TQ2TodoRouter &router, TQ2Cabinet &cabinet)
{
    QJsonObject response;
    EXPECT_TRUE(router.doSlot(&response, QJsonObject{{"cmd", "help_interfaces"}}, &cabinet));
    return response.value("results").toObject();
}

TEST(CachedListing, FollowsRoutersAddedAndRemovedAnywhereInTheTree)
{
    TQ2TodoRouter root;
    TestRouter middle;
    ExtraRouter late;
    root.add(&middle);
    TQ2Cabinet cabinet;
    const QJsonObject before = listingOf(root, cabinet);
    EXPECT_TRUE(before.contains("echo"));
    EXPECT_FALSE(before.contains("extra_method"));
    // The serialized text handed over is the listing itself.
    EXPECT_EQ(QJsonDocument::fromJson(cabinet.takeResultsJson()).object(), before);

    middle.add(&late); // below the root: the root's cached listing must go stale
    const QJsonObject after = listingOf(root, cabinet);
    EXPECT_EQ(after.value("extra_method").toObject().value("comment"), "added later");
    EXPECT_EQ(QJsonDocument::fromJson(cabinet.takeResultsJson()).object(), after);

    middle.del(&late);
    EXPECT_EQ(listingOf(root, cabinet), before);
}

TEST(CachedListing, ConnectionAnswersMatchTheInProcessListingAndDoNotLeak)
{
    SocketDir dir;
    TestRouter router;
    ServerThread runner(&router, true);
    ASSERT_TRUE(runner.start(dir.path()));
    TQ2Cabinet cabinet;
    TQ2TodoRouter reference;
    TestRouter sameMethods;
    reference.add(&sameMethods);
    const QJsonObject expected = listingOf(reference, cabinet);

    RawClient client(dir.path());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const QJsonObject listing = client.call(QJsonObject{{"cmd", "help_interfaces"}});
        EXPECT_EQ(listing.value("err").toInt(-1), 0);
        EXPECT_TRUE(listing.contains("elapsed")) << "debugging keys are kept beside spliced results";
        EXPECT_EQ(listing.value("results").toObject(), expected);
        const QJsonObject failed = client.call(QJsonObject{{"cmd", "fail"}});
        EXPECT_EQ(failed.value("err").toInt(), TQ2Error::ERR_PARAMS);
        EXPECT_FALSE(failed.contains("results")) << "the listing leaked into the next answer";
        const QJsonObject echoed = client.call(QJsonObject{{"cmd", "echo"}, {"params", QJsonObject{{"n", round}}}});
        EXPECT_EQ(echoed.value("results").toObject().value("n").toInt(-1), round);
    }
    runner.stop();
}

} // namespace

#include "serialized_results_test.moc"
