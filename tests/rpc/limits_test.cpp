// The local server's bounds against many or hostile clients, on the real
// server with small limits: the connection cap, the largest request, the
// bytes held by unhandled requests, the partial-datagram time-out, and the
// error answer to datagrams whose text is not a JSON object.
#include "rpctestkit.h"

#include "tq2error.h"
#include "tq2localsocket.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A datagram header announcing `json` bytes of JSON text and no attachment.
QByteArray header(quint32 json)
{
    QByteArray bytes("\0tq\1\1", 5);
    for (quint32 v : {json, 0u})
        for (int i = 0; i < 4; ++i)
            bytes.append(char((v >> (8 * i)) & 0xFF));
    return bytes + QByteArray(3, '\xFF');
}

QByteArray framed(const QByteArray &json) { return header(quint32(json.size())) + json; }

QJsonObject echoRequest(int id) { return {{"cmd", "echo"}, {"params", QJsonObject{{"id", id}}}}; }

int echoedId(const QJsonObject &response) { return response.value("results").toObject().value("id").toInt(-1); }

template <typename F>
bool eventually(F condition, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class LimitsTest : public ::testing::Test
{
protected:
    void startWith(const TQ2ServerLimits &limits)
    {
        runner.configure(limits);
        ASSERT_TRUE(runner.start(path));
    }
    void TearDown() override
    {
        runner.stop();
        EXPECT_EQ(TQ2LocalSocket::liveCount(), 0) << "connection objects left after the server went away";
    }

    SocketDir dir;
    QString path = dir.path();
    TestRouter router;
    ServerThread runner{&router};
};

TEST_F(LimitsTest, ClosesConnectionsBeyondTheCapAtOnce)
{
    TQ2ServerLimits limits;
    limits.maxConnections = 4;
    startWith(limits);
    std::vector<std::unique_ptr<RawClient>> served;
    for (int i = 0; i < 4; ++i) {
        served.push_back(std::make_unique<RawClient>(path));
        ASSERT_EQ(echoedId(served.back()->call(echoRequest(i))), i);
    }
    for (int i = 0; i < 20; ++i) {
        RawClient refused(path);
        ASSERT_TRUE(refused.isConnected()); // accepted by the kernel, then closed
        EXPECT_TRUE(refused.waitClosed(5000)) << "connection " << i << " beyond the cap stayed open";
    }
    EXPECT_EQ(runner.server()->refusedAtCap(), 20u);
    EXPECT_EQ(runner.server()->connectionCount(), 4);
    EXPECT_LE(TQ2LocalSocket::liveCount(), 4) << "a refused connection got a connection object";

    // A place freed is a place taken again; the served ones still answer.
    served.pop_back();
    ASSERT_TRUE(eventually([&] { return runner.server()->connectionCount() == 3; }));
    RawClient late(path);
    EXPECT_EQ(echoedId(late.call(echoRequest(40))), 40);
    EXPECT_EQ(echoedId(served.front()->call(echoRequest(41))), 41);
}

TEST_F(LimitsTest, AnswersAnOversizedDatagramWithAnErrorAndCloses)
{
    TQ2ServerLimits limits;
    limits.maxRequestBytes = 1024;
    startWith(limits);
    RawClient fits(path);
    const QByteArray padding(900, 'x');
    QJsonObject nearLimit = echoRequest(7);
    nearLimit.insert("pad", QString::fromLatin1(padding));
    EXPECT_EQ(echoedId(fits.call(nearLimit)), 7);

    RawClient big(path);
    ASSERT_TRUE(big.write(header(2000) + QByteArray(100, ' '))); // the rest never comes
    QJsonObject answer;
    ASSERT_TRUE(big.read(answer));
    EXPECT_EQ(answer.value("err").toInt(), TQ2Error::ERR_LIMITMAX);
    EXPECT_TRUE(answer.value("errmsg").toString().contains("1024"));
    EXPECT_TRUE(big.waitClosed(5000));
    EXPECT_EQ(echoedId(fits.call(echoRequest(8))), 8);
}

TEST_F(LimitsTest, ClosesAHalfSentDatagramAfterThePartialTimeout)
{
    TQ2ServerLimits limits;
    limits.partialTimeoutMs = 300;
    startWith(limits);
    RawClient idle(path);  // nothing buffered: may stay as long as it likes
    RawClient half(path);
    const QByteArray request = TQ2RpcPacket(echoRequest(1)).toDatagram();
    ASSERT_TRUE(half.write(request.left(request.size() - 5)));
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(half.waitClosed(10000));
    EXPECT_GE(timer.elapsed(), 250);
    EXPECT_TRUE(idle.staysQuiet(600));
    EXPECT_EQ(echoedId(idle.call(echoRequest(2))), 2);

    // Bytes that keep coming keep the connection: each write restarts the wait.
    RawClient slow(path);
    for (int i = 0; i < request.size(); ++i) {
        ASSERT_TRUE(slow.write(request.mid(i, 1)));
        if (i % 8 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    QJsonObject answer;
    ASSERT_TRUE(slow.read(answer));
    EXPECT_EQ(echoedId(answer), 1);
}

TEST_F(LimitsTest, BoundsTheBytesHeldByAllConnections)
{
    TQ2ServerLimits limits;
    limits.maxRequestBytes = 1024 * 1024;
    limits.maxPendingBytes = 100 * 1024;
    startWith(limits);
    const QByteArray head = header(512 * 1024) + QByteArray(40 * 1024, ' ');
    std::vector<std::unique_ptr<RawClient>> holders;
    int busy = 0;
    for (int i = 0; i < 4; ++i) {
        holders.push_back(std::make_unique<RawClient>(path));
        ASSERT_TRUE(holders.back()->write(head));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_LE(runner.server()->pendingBytes(), limits.maxPendingBytes);
    }
    for (auto &holder : holders) {
        QJsonObject answer;
        if (holder->read(answer, 300)) {
            EXPECT_EQ(answer.value("err").toInt(), TQ2Error::ERR_BUSY);
            EXPECT_TRUE(holder->waitClosed(5000));
            ++busy;
        }
    }
    EXPECT_GE(busy, 2) << "4 x 40 KiB against a bound of 100 KiB";
    holders.clear();
    EXPECT_TRUE(eventually([&] { return runner.server()->pendingBytes() == 0; }))
        << runner.server()->pendingBytes() << " bytes still counted after every client left";
    RawClient after(path);
    EXPECT_EQ(echoedId(after.call(echoRequest(3))), 3);
}

TEST_F(LimitsTest, AnswersTextThatIsNotAJsonObjectAndGoesOn)
{
    startWith(TQ2ServerLimits());
    const struct {
        const char *name;
        QByteArray json;
    } cases[] = {
        {"invalid UTF-8 byte in a value", QByteArray("{\"cmd\":\"echo\",\"params\":{\"x\":\"\xFF\"}}")},
        {"truncated UTF-8 sequence", QByteArray("{\"cmd\":\"ech\xC3\"}")},
        {"overlong encoding of '/'", QByteArray("{\"cmd\":\"\xC0\xAF\"}")},
        {"UTF-16 surrogate encoded as UTF-8", QByteArray("{\"cmd\":\"\xED\xA0\x80\"}")},
        {"invalid UTF-8 in a key", QByteArray("{\"\xFE\":1}")},
        {"unbalanced braces", QByteArray("{{{")},
        {"JSON text cut short", QByteArray("{\"cmd\":\"echo\"")},
        {"empty text", QByteArray()},
    };
    RawClient client(path);
    int id = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(client.write(framed(c.json)));
        QJsonObject answer;
        ASSERT_TRUE(client.read(answer));
        EXPECT_EQ(answer.value("err").toInt(), TQ2Error::ERR_PARSE);
        EXPECT_FALSE(answer.value("errmsg").toString().isEmpty());
        EXPECT_EQ(echoedId(client.call(echoRequest(++id))), id) << "the connection stopped serving";
    }
}

} // namespace
