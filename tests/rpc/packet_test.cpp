#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <limits>

#include <QJsonArray>
#include <QJsonDocument>

#include <random>

namespace {

QByteArray header(quint32 n, quint32 m, char flag1 = 1, char flag2 = 1)
{
    QByteArray h("\0tq", 3);
    h.append(flag1).append(flag2);
    for (quint32 v : {n, m})
        for (int i = 0; i < 4; ++i)
            h.append(char((v >> (8 * i)) & 0xFF));
    h.append(3, '\xFF');
    return h;
}

QByteArray datagram(const QByteArray &json, const QByteArray &attachment = QByteArray(), char flag = 1)
{
    return header(quint32(json.size()), quint32(attachment.size()), flag, flag) + json + attachment;
}

TEST(TQ2RpcPacket, WritesTheDocumentedLayout)
{
    TQ2RpcPacket packet(QJsonObject{{"cmd", "x"}, {"a", 1}});
    packet.attachment = "BIN";
    const QByteArray json = "{\"a\":1,\"cmd\":\"x\"}";
    EXPECT_EQ(packet.toDatagram(), datagram(json, "BIN"));
    EXPECT_EQ(TQ2RpcPacket().toDatagram(), QByteArray("\0ka\0", 4));
    TQ2RpcPacket empty;
    empty.attachment = "ignored";
    EXPECT_EQ(empty.toDatagram(), TQ2RpcPacket::keepAlive());
}

TEST(TQ2RpcPacket, ParsesBuffersByResultCode)
{
    const QByteArray full = datagram("{\"cmd\":\"a\"}");
    const struct {
        const char *name;
        QByteArray buffer;
        int result;
        QByteArray left;      // buffer after the call
        qint64 expected;      // -1: not checked
        QJsonObject object;
    } cases[] = {
        {"keep-alive", QByteArray("\0ka\0", 4), 1, QByteArray(), -1, {}},
        {"keep-alive then more", QByteArray("\0ka\0", 4) + full, 1, full, -1, {}},
        {"three keep-alive bytes", QByteArray("\0ka", 3), 2, QByteArray("\0ka", 3), -1, {}},
        {"two unknown bytes", QByteArray("xy"), 2, QByteArray("xy"), -1, {}},
        {"four unknown bytes", QByteArray("abcd"), 4, QByteArray("abcd"), -1, {}},
        {"first 10 bytes", full.left(10), 2, full.left(10), -1, {}},
        {"header and part of the JSON", full.left(20), 2, full.left(20), full.size(), {}},
        {"two datagrams", full + full, 0, full, 0, {{"cmd", "a"}}},
        {"JSON array", datagram("[1,2]"), 0, QByteArray(), 0, {}},
        {"flags other than 1", datagram("{\"k\":2}", QByteArray(), 7), 0, QByteArray(), 0, {{"k", 2}}},
        {"broken JSON", datagram("{\"k\":"), 4, datagram("{\"k\":"), -1, {}},
        {"empty JSON text", datagram(""), 4, datagram(""), -1, {}},
        {"largest lengths", header(0xFFFFFFFFu, 0xFFFFFFFFu), 2, header(0xFFFFFFFFu, 0xFFFFFFFFu),
         16 + 2 * qint64(0xFFFFFFFFu), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TQ2RpcPacket packet;
        QByteArray buffer = c.buffer;
        EXPECT_EQ(packet.fromDatagram(buffer), c.result);
        EXPECT_EQ(buffer, c.left);
        if (c.expected >= 0) {
            EXPECT_EQ(packet.expected, c.expected);
        }
        if (c.result <= 1) {
            EXPECT_EQ(packet.object, c.object);
        }
        // The same datagram behind bytes already consumed: the same result,
        // the bytes it spans in `used`, and the buffer left as it was.
        const QByteArray behind = QByteArray("\0ka\0done", 8) + c.buffer;
        TQ2RpcPacket atOffset;
        int used = -1;
        EXPECT_EQ(atOffset.fromDatagramAt(behind, 8, used), c.result);
        EXPECT_EQ(used, c.buffer.size() - c.left.size());
        EXPECT_EQ(behind.mid(8), c.buffer);
        if (c.expected >= 0) {
            EXPECT_EQ(atOffset.expected, c.expected);
        }
        if (c.result <= 1) {
            EXPECT_EQ(atOffset.object, c.object);
        }
    }
}

TEST(TQ2RpcPacket, CarriesTheAttachment)
{
    const QByteArray bytes = QByteArray("\0\1\2tail", 7);
    QByteArray buffer = datagram("{\"a\":true}", bytes) + datagram("{\"b\":1}");
    TQ2RpcPacket packet;
    ASSERT_EQ(packet.fromDatagram(buffer), 0);
    EXPECT_EQ(packet.attachment, bytes);
    ASSERT_EQ(packet.fromDatagram(buffer), 0);
    EXPECT_TRUE(packet.attachment.isEmpty()) << "a parse clears the previous attachment";
    EXPECT_EQ(packet.object, (QJsonObject{{"b", 1}}));
}

TEST(TQ2RpcPacket, ReportsTheAnnouncedLength)
{
    EXPECT_EQ(TQ2RpcPacket::announcedLength(header(10, 5)), 31);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(header(10, 5).left(15)), -1);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(QByteArray("\0ka\0", 4) + header(10, 5), 4), 31);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(header(10, 5), 1), -1);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(header(10, 5), -1), -1);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(QByteArray("\0ka\0", 4) + header(1, 1)), -1);
    EXPECT_EQ(TQ2RpcPacket::announcedLength(header(quint32(TQ2RpcPacket::MaxDatagram), 0)),
              TQ2RpcPacket::MaxDatagram + 16);
}

TEST(TQ2RpcPacket, MakeAndCompactForms)
{
    EXPECT_EQ(TQ2RpcPacket::make("c", 3, {}).object, (QJsonObject{{"cmd", "c"}, {"err", 3}}));
    EXPECT_EQ(TQ2RpcPacket::make("c", 0, {{"p", 1}}).object,
              (QJsonObject{{"cmd", "c"}, {"err", 0}, {"params", QJsonObject{{"p", 1}}}}));

    TQ2RpcPacket packet(QJsonObject{{"keep", 1}});
    EXPECT_EQ(packet.toCompact(), QByteArray("{\"keep\":1}"));
    for (const char *bad : {"[1]", "{", "", "\"text\""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(packet.fromCompact(bad), 4);
        EXPECT_EQ(packet.object, (QJsonObject{{"keep", 1}}));
    }
    EXPECT_EQ(packet.fromCompact("{\"n\":2}"), 0);
    EXPECT_EQ(packet.object, (QJsonObject{{"n", 2}}));

    packet.attachment = "x";
    packet = QJsonObject{{"m", 1}};
    EXPECT_EQ(packet.attachment, QByteArray("x")) << "assigning an object keeps the attachment";
    TQ2RpcPacket::registerMetaType();
    EXPECT_EQ(QMetaType::type("TQ2RpcPacket"), qMetaTypeId<TQ2RpcPacket>()) << "queued signals find it by name";
}

TEST(TQ2RpcPacket, RelayHelpersKeepTheEnvelope)
{
    const QJsonArray hops{QJsonObject{{"fd", 3}, {"session", 7}}, QJsonObject{{"fd", 9}}};
    const QJsonObject source{{"seq", 1}, {"cno", 2}, {"cmd", "c"}, {"routers", hops},
                             {"_trace", "t"}, {"params", QJsonObject{}}, {"err", 5}};

    TQ2RpcPacket own(source);
    own.shrink();
    EXPECT_EQ(own.object, (QJsonObject{{"seq", 1}, {"cno", 2}, {"cmd", "c"}, {"_trace", "t"}}));

    const QJsonObject envelope{{"seq", 1}, {"cno", 2}, {"cmd", "c"}, {"routers", hops}, {"_trace", "t"}};
    TQ2RpcPacket from(QJsonObject{{"old", 1}});
    from.shrink(source);
    EXPECT_EQ(from.object, envelope);
    EXPECT_EQ(TQ2RpcPacket::copyResponsed(source).object, envelope);

    QJsonObject target{{"results", 1}};
    TQ2RpcPacket::copyResponsed(target, source, 9994, "gone");
    QJsonObject want = envelope;
    want.insert("results", 1);
    want.insert("err", 9994);
    want.insert("errmsg", "gone");
    EXPECT_EQ(target, want);

    want = envelope;
    want.insert("err", 0);
    EXPECT_EQ(TQ2RpcPacket::copyResponsed(source, 0, QString()).object, want);
}

TEST(TQ2RpcPacket, TakeRouterPopsTheLastHop)
{
    QJsonObject object{{"routers", QJsonArray{QJsonObject{{"fd", 3}, {"session", 7}}, QJsonObject{{"fd", "9"}}}}};
    int fd = -1;
    int session = -1;
    ASSERT_TRUE(TQ2RpcPacket::takeRouter(fd, session, object));
    EXPECT_EQ(fd, 9);
    EXPECT_EQ(session, 0);
    ASSERT_TRUE(TQ2RpcPacket::takeRouter(fd, session, object));
    EXPECT_EQ(fd, 3);
    EXPECT_EQ(session, 7);
    EXPECT_FALSE(object.contains("routers"));
    fd = session = -1;
    EXPECT_FALSE(TQ2RpcPacket::takeRouter(fd, session, object));
    object.insert("routers", QJsonArray());
    EXPECT_FALSE(TQ2RpcPacket::takeRouter(fd, session, object));
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(object.contains("routers"));
}

TEST(TQ2RpcPacketCompact, EncodesWithTags)
{
    const QJsonObject object{{"a", "x"}, {"b", QJsonArray{true, 1.5}}, {"c", QJsonObject{{"d", 1e20}}}};
    EXPECT_EQ(TQ2RpcPacket::toCompactValue(object),
              QByteArray(">a|x\0b:?t\0=1.5\0\0c>d=1e+20\0\0\0", 28));
    EXPECT_TRUE(TQ2RpcPacket::toCompactValue(QJsonValue::Null).isEmpty());
    EXPECT_EQ(TQ2RpcPacket::toCompactValue(0.1 + 0.2), QByteArray("=0.3\0", 5)) << "15 digits";
}

TEST(TQ2RpcPacketCompact, RoundTrips)
{
    const QJsonValue values[] = {
        QJsonValue("text with spaces, ünïcode"), QJsonValue(""), QJsonValue(false), QJsonValue(-42),
        QJsonValue(1234567.25), QJsonArray{}, QJsonObject{},
        QJsonArray{"a", QJsonArray{1, QJsonArray{}}, QJsonObject{{"k", "v"}}},
        QJsonObject{{"x", QJsonObject{{"y", QJsonArray{2, "z"}}}}, {"w", true}},
        QJsonObject{{"a", 1}, {"z", QJsonValue::Null}}, // a null last member survives
        QJsonValue::Null,
    };
    for (const QJsonValue &value : values) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString());
        bool ok = false;
        EXPECT_EQ(TQ2RpcPacket::fromCompactValue(TQ2RpcPacket::toCompactValue(value), &ok), value);
        EXPECT_TRUE(ok);
    }
    bool ok = false;
    EXPECT_EQ(TQ2RpcPacket::fromCompactObject(TQ2RpcPacket::toCompactValue(QJsonObject{{"q", 1}}), &ok),
              (QJsonObject{{"q", 1}}));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(TQ2RpcPacket::fromCompactObject(TQ2RpcPacket::toCompactValue(QJsonArray{1}), &ok).isEmpty());
    EXPECT_FALSE(ok);
}

TEST(TQ2RpcPacketCompact, LargestNumbersReadBack)
{
    const double max = std::numeric_limits<double>::max();
    const struct {
        const char *name;
        double number;
    } rows[] = {
        {"largest double", max},
        {"largest negative double", -max},
        {"largest that 15 digits keep", 1.79769313486231e308},
        {"smallest subnormal", std::numeric_limits<double>::denorm_min()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bool ok = false;
        const QJsonValue value = TQ2RpcPacket::fromCompactValue(TQ2RpcPacket::toCompactValue(row.number), &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(value.toDouble(), row.number);
    }
    EXPECT_EQ(TQ2RpcPacket::toCompactValue(1.79769313486231e308), QByteArray("=1.79769313486231e+308\0", 23))
        << "15 digits where they read back";
}

TEST(TQ2RpcPacketCompact, RejectsMalformedInput)
{
    const QByteArray bad[] = {
        QByteArray("|no end"),          QByteArray("?x\0", 3),        QByteArray("?true\0", 6),
        QByteArray("=12abc\0", 7),      QByteArray("=\0", 2),         QByteArray("=inf\0", 5),
        QByteArray(":|a\0", 4),         QByteArray(">key|v\0", 7),    QByteArray(">key", 4),
        QByteArray("#what\0", 6),       QByteArray("|a\0|b\0", 6),    QByteArray("\0", 1),
        QByteArray(100000, ':'),        QByteArray(300, ':') + QByteArray(300, '\0'),
    };
    for (const QByteArray &bytes : bad) {
        SCOPED_TRACE(bytes.left(20).toHex().toStdString());
        bool ok = true;
        EXPECT_TRUE(TQ2RpcPacket::fromCompactValue(bytes, &ok).isUndefined());
        EXPECT_FALSE(ok);
    }
}

TEST(TQ2RpcPacketCompact, SurvivesRandomBytes)
{
    std::mt19937 random(12345);
    const char alphabet[] = {'|', '?', '=', ':', '>', '\0', 't', 'f', '1', 'e', '-', '.', 'k'};
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        const int size = int(random() % 40);
        for (int i = 0; i < size; ++i)
            bytes.append(alphabet[random() % sizeof alphabet]);
        bool ok = false;
        const QJsonValue value = TQ2RpcPacket::fromCompactValue(bytes, &ok);
        if (ok) {
            ++accepted;
            // Whatever is accepted is a value the writer can express again.
            EXPECT_FALSE(value.isUndefined());
        }
    }
    EXPECT_GT(accepted, 0);
}

} // namespace
