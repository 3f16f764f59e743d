#include "rpctestkit.h"

#include "tq2localsocket.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QByteArray datagram(const QJsonObject &object) { return TQ2RpcPacket(object).toDatagram(); }

// A datagram around any JSON text.
QByteArray framed(const QByteArray &json)
{
    QByteArray bytes("\0tq\1\1", 5);
    for (quint32 v : {quint32(json.size()), 0u})
        for (int i = 0; i < 4; ++i)
            bytes.append(char((v >> (8 * i)) & 0xFF));
    return bytes + QByteArray(3, '\xFF') + json;
}

QJsonObject echoRequest(int id) { return {{"cmd", "echo"}, {"params", QJsonObject{{"id", id}}}}; }

int echoedId(const QJsonObject &response) { return response.value("results").toObject().value("id").toInt(-1); }

// Waits (bounded) until `condition` holds; the condition's last value.
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

class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
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

TEST_F(ServerTest, AnswersTwoRequestsOfOneWriteInOrder)
{
    RawClient client(path);
    ASSERT_TRUE(client.write(datagram(echoRequest(1)) + datagram(echoRequest(2))));
    QJsonObject first;
    QJsonObject second;
    ASSERT_TRUE(client.read(first));
    ASSERT_TRUE(client.read(second));
    EXPECT_EQ(echoedId(first), 1);
    EXPECT_EQ(echoedId(second), 2);
    EXPECT_EQ(first.value("err").toInt(), 0);
    EXPECT_FALSE(first.contains("cmd")) << "responses do not repeat cmd";
    EXPECT_FALSE(first.contains("elapsed")) << "not verbose without debugging";
}

TEST_F(ServerTest, AnswersARequestSplitOverManyWrites)
{
    RawClient client(path);
    const QByteArray bytes = datagram(echoRequest(7));
    for (int i = 0; i < bytes.size(); ++i) {
        ASSERT_TRUE(client.write(bytes.mid(i, 1)));
        if (i % 8 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (i + 1 < bytes.size()) {
            ASSERT_TRUE(client.staysQuiet(0)) << "answered before the last byte at " << i;
        }
    }
    QJsonObject answer;
    ASSERT_TRUE(client.read(answer));
    EXPECT_EQ(echoedId(answer), 7);
}

TEST_F(ServerTest, NeverAnswersKeepAlives)
{
    RawClient client(path);
    ASSERT_TRUE(client.write(TQ2RpcPacket::keepAlive() + TQ2RpcPacket::keepAlive()));
    // Datagrams whose object is empty are keep-alives too.
    ASSERT_TRUE(client.write(framed("{}") + framed("[1,2]")));
    EXPECT_TRUE(client.staysQuiet(200)) << "a keep-alive got an answer or closed the connection";
    EXPECT_EQ(echoedId(client.call(echoRequest(3))), 3) << "the connection stays usable";
    EXPECT_TRUE(client.staysQuiet(50));
}

TEST_F(ServerTest, ParsesBytesAfterAKeepAliveAtOnce)
{
    RawClient client(path);
    ASSERT_TRUE(client.write(TQ2RpcPacket::keepAlive() + datagram(echoRequest(4)) + TQ2RpcPacket::keepAlive() +
                             datagram(echoRequest(5))));
    QJsonObject answer;
    ASSERT_TRUE(client.read(answer, 3000)) << "the request behind the keep-alive waited for another read";
    EXPECT_EQ(echoedId(answer), 4);
    ASSERT_TRUE(client.read(answer, 3000));
    EXPECT_EQ(echoedId(answer), 5);
}

TEST_F(ServerTest, AnswersUnknownAndBlankCommandsWithMissing)
{
    const struct {
        const char *name;
        QJsonObject request;
        QString message;
    } cases[] = {
        {"unknown", {{"cmd", "nosuch"}}, QString::fromUtf8("被调用的方法不存在: nosuch")},
        {"untrimmed in the message", {{"cmd", " nosuch "}}, QString::fromUtf8("被调用的方法不存在:  nosuch ")},
        {"blank", {{"cmd", "  "}}, QString::fromUtf8("被调用的方法不存在:   ")},
        {"absent", {{"params", QJsonObject{{"a", 1}}}}, QString::fromUtf8("被调用的方法不存在: ")},
        {"number", {{"cmd", 12}}, QString::fromUtf8("被调用的方法不存在: 12")},
    };
    RawClient client(path);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject answer = client.call(c.request);
        EXPECT_EQ(answer, (QJsonObject{{"err", 9885}, {"errmsg", c.message}}));
    }
}

TEST_F(ServerTest, LsSlotTakesPrecedenceAndHelpInterfacesAnswers)
{
    RawClient client(path);
    EXPECT_EQ(client.call({{"cmd", "plain"}}).value("results"), "ls");
    const QJsonObject help = client.call({{"cmd", "\thelp_interfaces  "}});
    EXPECT_EQ(help.value("err").toInt(), 0);
    const QJsonObject results = help.value("results").toObject();
    EXPECT_TRUE(results.contains("help_interfaces"));
    EXPECT_TRUE(results.contains("echo"));
}

TEST_F(ServerTest, CabinetLivesAsLongAsTheConnection)
{
    RawClient client(path);
    EXPECT_EQ(client.call({{"cmd", "protocol"}}).value("results"), 128);
    const QJsonObject failed = client.call({{"cmd", "fail"}});
    EXPECT_EQ(failed.value("err").toInt(), 9995);
    EXPECT_EQ(failed.value("errmsg"), QString::fromUtf8("缺少参数: x"));
    // The journal starts clean for each request: a method that sets nothing
    // answers the untouched failure, not the previous request's outcome.
    EXPECT_EQ(client.call({{"cmd", "quiet"}}), (QJsonObject{{"err", 9999}}));
    EXPECT_EQ(client.call({{"cmd", "protocol"}}).value("results"), 128) << "the cabinet's entries live on";
    RawClient fresh(path);
    EXPECT_EQ(fresh.call({{"cmd", "quiet"}}), (QJsonObject{{"err", 9999}})) << "each connection has its own journal";
}

TEST_F(ServerTest, BadBytesCloseOnlyThatConnection)
{
    RawClient good(path);
    ASSERT_EQ(echoedId(good.call(echoRequest(1))), 1);
    const struct {
        const char *name;
        QByteArray bytes;
    } cases[] = {
        {"no datagram", QByteArray("GET / HTTP/1.0\r\n\r\n")},
        {"a keep-alive, then no datagram", TQ2RpcPacket::keepAlive() + QByteArray("{{{ not framed")},
        {"announces more than 64 MiB",
         QByteArray("\0tq\1\1\1\0\0\4\0\0\0\0\xFF\xFF\xFF", 16)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RawClient bad(path);
        ASSERT_TRUE(bad.write(c.bytes));
        EXPECT_TRUE(bad.waitClosed(5000));
    }
    EXPECT_EQ(echoedId(good.call(echoRequest(2))), 2);
    EXPECT_TRUE(eventually([&] { return runner.server()->connectionCount() == 1; }));
}

TEST_F(ServerTest, AnswersARequestSentJustBeforeTheClientShutsDown)
{
    RawClient client(path);
    ASSERT_TRUE(client.write(datagram(echoRequest(9))));
    client.shutdownWrite(); // the server reads the end of the stream with the request
    QJsonObject answer;
    ASSERT_TRUE(client.read(answer));
    EXPECT_EQ(echoedId(answer), 9);
}

TEST_F(ServerTest, StopEndsAnIdleConnectionPromptly)
{
    RawClient client(path);
    ASSERT_EQ(echoedId(client.call(echoRequest(1))), 1);
    auto connections = runner.server()->connections();
    ASSERT_EQ(connections.size(), 1u);
    QElapsedTimer timer;
    timer.start();
    connections.front()->stop();
    EXPECT_LT(timer.elapsed(), 2000) << "stop() did not wake the blocked thread";
    EXPECT_FALSE(connections.front()->isRunning());
    EXPECT_TRUE(client.waitClosed(2000));
    connections.clear();
    EXPECT_TRUE(eventually([&] { return runner.server()->connectionCount() == 0; }));
}

TEST_F(ServerTest, ServesConcurrentClients)
{
    constexpr int kClients = 12;
    constexpr int kRequests = 40;
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    std::atomic<int> answered{0};
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            if (c % 2 == 0) { // one connection, many requests
                RawClient client(path);
                for (int i = 0; i < kRequests; ++i) {
                    const int id = c * 1000 + i;
                    if (echoedId(client.call(echoRequest(id))) == id)
                        ++answered;
                    else
                        ++mismatches;
                }
            } else { // a connection per request
                for (int i = 0; i < kRequests; ++i) {
                    const int id = c * 1000 + i;
                    QJsonObject response;
                    if (TQ2LocalServer::localRequest(path, echoRequest(id), &response, 10) && echoedId(response) == id)
                        ++answered;
                    else
                        ++mismatches;
                }
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(answered.load(), kClients * kRequests);
}

TEST_F(ServerTest, ReleasesThousandsOfConnections)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kConnections = 600;
#else
    constexpr int kConnections = 3000;
#endif
    constexpr int kThreads = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kConnections / kThreads; ++i) {
                RawClient client(path);
                if (i % 3 == 0) { // some leave without asking anything
                    continue;
                }
                if (client.call({{"cmd", "count"}}).value("err").toInt(-1) != 0)
                    ++failures;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(eventually([&] { return runner.server()->connectionCount() == 0; }))
        << runner.server()->connectionCount() << " connections still registered";
    EXPECT_TRUE(eventually([] { return TQ2LocalSocket::liveCount() == 0; }))
        << TQ2LocalSocket::liveCount() << " connection objects not released";
}

TEST_F(ServerTest, LocalRequestWithAndWithoutAnswer)
{
    QJsonObject response;
    ASSERT_TRUE(TQ2LocalServer::localRequest(path, echoRequest(11), &response, 5));
    EXPECT_EQ(echoedId(response), 11);

    const int before = router.counted.load();
    EXPECT_TRUE(TQ2LocalServer::localRequest(path, {{"cmd", "count"}}, nullptr, 5));
    EXPECT_TRUE(TQ2LocalServer::localRequest(path, {{"cmd", "count"}}, &response, 0)) << "no wait without a time-out";
    EXPECT_TRUE(eventually([&] { return router.counted.load() == before + 2; })) << "requests without answer ran";
}

TEST_F(ServerTest, LocalRequestTimesOut)
{
    QJsonObject response;
    QString error;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(TQ2LocalServer::localRequest(path, {{"cmd", "slow"}, {"params", QJsonObject{{"ms", 2500}}}},
                                              &response, 1, &error));
    EXPECT_GE(timer.elapsed(), 900);
    EXPECT_LT(timer.elapsed(), 2400) << "waited for the answer beyond the time-out";
    EXPECT_TRUE(response.isEmpty());
    EXPECT_TRUE(error.contains(path)) << error.toStdString();
}

TEST_F(ServerTest, VerboseWhenDebugging)
{
    runner.stop();
    ServerThread verbose(&router, true);
    ASSERT_TRUE(verbose.start(path));
    RawClient client(path);
    const QJsonObject answer = client.call(echoRequest(1));
    EXPECT_TRUE(answer.value("elapsed").isDouble());
}

TEST(LocalServerStart, WorldAccessAndMissingDirectories)
{
    SocketDir dir;
    const QString path = dir.path("a/b/zfsrep.sock");
    ServerThread runner;
    ASSERT_TRUE(runner.start(path));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    QJsonObject response;
    EXPECT_TRUE(TQ2LocalServer::localRequest(path, {{"cmd", "help_interfaces"}}, &response, 5));
    EXPECT_EQ(response.value("err").toInt(-1), 0);
}

TEST(LocalServerStart, ReplacesAStaleSocketFile)
{
    SocketDir dir;
    const QString path = dir.path();
    {   // A server that died without removing its socket file.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    ASSERT_TRUE(QFileInfo::exists(path));
    ServerThread runner;
    ASSERT_TRUE(runner.start(path));
    QJsonObject response;
    EXPECT_TRUE(TQ2LocalServer::localRequest(path, {{"cmd", "help_interfaces"}}, &response, 5));
}

TEST(LocalServerStart, DoesNotTakeTheNameOfALiveServer)
{
    SocketDir dir;
    const QString path = dir.path();
    TestRouter router;
    ServerThread first(&router);
    ASSERT_TRUE(first.start(path));
    ServerThread second;
    EXPECT_FALSE(second.start(path));
    second.stop();
    RawClient client(path);
    EXPECT_EQ(client.call({{"cmd", "protocol"}}).value("results"), 128) << "the first server lost its socket";
}

TEST(LocalServerStart, FailsWhenTheDirectoryCannotBeMade)
{
    SocketDir dir;
    QFile blocker(dir.path("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ServerThread runner;
    EXPECT_FALSE(runner.start(dir.path("file/s.sock")));
}

TEST(LocalRequest, FailsFastWithoutAServer)
{
    SocketDir dir;
    QJsonObject response;
    QString error;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(TQ2LocalServer::localRequest(dir.path("absent.sock"), {{"cmd", "x"}}, &response, 5, &error));
    EXPECT_LT(timer.elapsed(), 2500);
    EXPECT_TRUE(error.contains(dir.path("absent.sock"))) << error.toStdString();
}

TEST(LocalRequest, BareNamesLiveInTheTemporaryDirectory)
{
    EXPECT_EQ(TQ2LocalServer::socketPath("/run/x.sock"), "/run/x.sock");
    EXPECT_EQ(TQ2LocalServer::socketPath("zfsrep"), QDir::cleanPath(QDir::tempPath()) + "/zfsrep");
}

} // namespace
