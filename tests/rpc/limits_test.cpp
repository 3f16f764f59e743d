// The local server's bounds against many or hostile clients, on the real
// server with small limits: the connection cap, the largest request, the
// bytes held by unhandled requests, the partial-datagram time-out, and the
// error answer to datagrams whose text is not a JSON object.
#include "rpctestkit.h"

#include "tq2error.h"
#include "tq2localsocket.h"
#include "tq2peerquota.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
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
    limits.maxPeerConnections = 4; // root passes the total within its share
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

    // A datagram that arrives in pieces within the time is answered.
    RawClient pieces(path);
    ASSERT_TRUE(pieces.write(request.left(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(pieces.write(request.mid(10)));
    QJsonObject answer;
    ASSERT_TRUE(pieces.read(answer));
    EXPECT_EQ(echoedId(answer), 1);

    // A trickle does not keep a datagram alive: the time counts from its
    // first byte, however many bytes follow.
    RawClient trickle(path);
    QJsonObject padded = echoRequest(3);
    padded.insert("pad", QString(200, 'p'));
    const QByteArray slowRequest = TQ2RpcPacket(padded).toDatagram(); // about 6 s at this pace
    timer.restart();
    bool closed = false;
    for (int i = 0; i < slowRequest.size() - 1 && timer.elapsed() < 8000; ++i) {
        if (!trickle.write(slowRequest.mid(i, 1))) {
            closed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(closed || trickle.waitClosed(5000)) << "the trickle kept the connection";
    EXPECT_LT(timer.elapsed(), 2000) << "the time restarted with the bytes";
}

TEST_F(LimitsTest, ClosesAConnectionThatSendsNothingAfterTheIdleTime)
{
    TQ2ServerLimits limits;
    limits.idleTimeoutMs = 400;
    startWith(limits);
    QElapsedTimer timer;
    timer.start();
    RawClient silent(path);
    RawClient talking(path);
    // Requests now and then keep a connection: each one restarts the time.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(echoedId(talking.call(echoRequest(i))), i);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    EXPECT_TRUE(silent.waitClosed(5000));
    EXPECT_GE(timer.elapsed(), 350);
    EXPECT_EQ(echoedId(talking.call(echoRequest(9))), 9) << "the talking connection was closed";
    EXPECT_TRUE(eventually([&] { return runner.server()->connectionCount() == 1; }));
    EXPECT_EQ(runner.server()->peerQuota().connectionsOf(::geteuid()), 1) << "the closed one kept its place";
}

TEST_F(LimitsTest, OneUserHoldsOnlyItsShareOfConnectionsAndBytes)
{
    TQ2ServerLimits limits;
    limits.maxConnections = 50;
    limits.maxPeerConnections = 3;
    limits.maxRequestBytes = 64 * 1024;
    limits.maxPeerPendingBytes = 64 * 1024;
    startWith(limits);
    std::vector<std::unique_ptr<RawClient>> served;
    for (int i = 0; i < 3; ++i) {
        served.push_back(std::make_unique<RawClient>(path));
        ASSERT_EQ(echoedId(served.back()->call(echoRequest(i))), i);
    }
    RawClient beyond(path);
    EXPECT_TRUE(beyond.waitClosed(5000)) << "a fourth connection of the same user was served";
    EXPECT_EQ(runner.server()->refusedAtCap(), 1u);
    EXPECT_EQ(runner.server()->peerQuota().connectionsOf(::geteuid()), 3);

    // Two half-sent requests of 40 KiB pass the user's 64 KiB.
    const QByteArray head = header(60 * 1024) + QByteArray(40 * 1024, ' ');
    ASSERT_TRUE(served[0]->write(head));
    ASSERT_TRUE(eventually([&] { return runner.server()->pendingBytes() == head.size(); }));
    ASSERT_TRUE(served[1]->write(head));
    QJsonObject answer;
    ASSERT_TRUE(served[1]->read(answer));
    EXPECT_EQ(answer.value("err").toInt(), TQ2Error::ERR_BUSY);
    EXPECT_TRUE(served[1]->waitClosed(5000));
    EXPECT_LE(runner.server()->peerQuota().pendingBytesOf(::geteuid()), limits.maxPeerPendingBytes);
    served[0].reset();
    EXPECT_TRUE(eventually([&] { return runner.server()->pendingBytes() == 0; }));
    EXPECT_EQ(echoedId(served[2]->call(echoRequest(7))), 7);
}

TEST_F(LimitsTest, AnswersEveryRequestAmongManyPipelinedDatagrams)
{
    startWith(TQ2ServerLimits());
    RawClient client(path);
    // 1 MiB of keep-alives with a request after every 2,000 of them, written
    // while the answers are read (neither side may fill the other's buffer).
    const int requests = 128;
    QByteArray stream;
    for (int i = 0; i < requests; ++i) {
        for (int k = 0; k < 2000; ++k)
            stream += TQ2RpcPacket::keepAlive();
        stream += TQ2RpcPacket(echoRequest(i)).toDatagram();
    }
    std::thread writer([&] { client.write(stream); });
    int next = 0;
    QJsonObject answer;
    while (next < requests && client.read(answer, 20000)) {
        ASSERT_EQ(echoedId(answer), next) << "an answer is missing or out of order";
        ++next;
    }
    writer.join();
    EXPECT_EQ(next, requests);
    EXPECT_TRUE(client.staysQuiet(200)) << "keep-alives were answered";
}

TEST_F(LimitsTest, BoundsTheBytesHeldByAllConnections)
{
    TQ2ServerLimits limits;
    limits.maxRequestBytes = 1024 * 1024;
    limits.maxPendingBytes = 100 * 1024;
    limits.maxPeerPendingBytes = 100 * 1024; // root passes the total within its share
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

TEST(PeerQuotaStress, TotalsStayWithinTheBoundsAndReturnToZero)
{
    // Six users on eight threads take and give back places and bytes; a
    // watcher checks the totals while they run.
    TQ2PeerQuota quota({20, 4, 6000, 1500});
    std::atomic<bool> running{true};
    std::atomic<int> overruns{0};
    std::thread watcher([&] {
        while (running.load()) {
            if (quota.connections() > 20 || quota.pendingBytes() > 6000)
                ++overruns;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&quota, t] {
            const uid_t uid = uid_t(1000 + t % 6);
            for (int i = 0; i < 20000; ++i) {
                const qint64 bytes = 1 + (i * 37 + t) % 400;
                const bool place = quota.takeConnection(uid);
                const bool held = quota.reserveBytes(uid, bytes);
                if (held)
                    quota.releaseBytes(uid, bytes);
                if (place)
                    quota.releaseConnection(uid);
            }
        });
    }
    for (auto &worker : workers)
        worker.join();
    running.store(false);
    watcher.join();
    EXPECT_EQ(overruns.load(), 0);
    EXPECT_EQ(quota.connections(), 0);
    EXPECT_EQ(quota.pendingBytes(), 0);
    for (uid_t uid = 1000; uid < 1006; ++uid)
        EXPECT_EQ(quota.connectionsOf(uid) + quota.pendingBytesOf(uid), 0) << uid;
}

} // namespace
