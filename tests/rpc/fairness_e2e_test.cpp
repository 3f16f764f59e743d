// The real zfsrep service on the testbed against one greedy user: its idle
// connections and half-sent requests take only that user's share, so root
// and other users are still answered at once; idle connections are closed
// after the idle time; memory goes back after large requests; the group
// check reads the connecting process's own groups; and a socket place other
// users could take over is refused at start.
#include "listenerkit.h"
#include "service.h"
#include "tbharness.h"

#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QThread>

#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace listener;

constexpr uid_t kNobody = 65534;
constexpr uid_t kDaemon = 1; // a second ordinary user, present on Debian

long msSince(const timespec &start)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// In a child: writes `request`, reads until the answer holds "err":0 or the
// connection ends; reports the milliseconds taken, or -1 when not answered.
void timedCall(const QByteArray &request, const ChildAs::Report &report)
{
    static char answer[65536];
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const int fd = connectRaw();
    bool sent = fd >= 0;
    for (int done = 0; sent && done < request.size();) {
        const ssize_t n = ::send(fd, request.constData() + done, size_t(request.size() - done), MSG_NOSIGNAL);
        sent = n > 0;
        done += sent ? int(n) : 0;
    }
    size_t got = 0;
    while (sent && got < sizeof answer) {
        const ssize_t n = ::recv(fd, answer + got, sizeof answer - got, 0);
        if (n <= 0)
            break;
        got += size_t(n);
        if (::memmem(answer, got, "\"err\":0", 7)) {
            report(msSince(start));
            return;
        }
    }
    report(-1);
}

class FairnessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        Service::resetState();
    }

    void startService(const QJsonObject &extra = QJsonObject())
    {
        QJsonObject config{{"lpcid", kSocket}, {"debugging", "no"}, {"appname", "zfsrep"}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            config.insert(it.key(), it.value());
        service.start(config);
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
        pid = servicePid();
        ASSERT_GT(pid, 0);
        ::chmod("/tarn", 0755); // other users reach the socket
        ::chmod("/tarn/run", 0755);
    }

    // Milliseconds until root's request is answered, -1 when it is not.
    qint64 rootCall(const QByteArray &request)
    {
        QElapsedTimer timer;
        timer.start();
        const int fd = connectRaw();
        const QJsonObject answer = fd >= 0 ? rawCall(fd, request) : QJsonObject();
        if (fd >= 0)
            ::close(fd);
        return answer.value("err").toInt(-1) == 0 ? timer.elapsed() : -1;
    }

    // Milliseconds until the same request of user `uid` is answered.
    long otherUserCall(uid_t uid, const QByteArray &request)
    {
        ChildAs caller(uid, uid, [&](const ChildAs::Report &report) { timedCall(request, report); });
        long ms = -2;
        caller.next(ms, 15000);
        return ms;
    }

    const QByteArray help = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram();
    Service service;
    pid_t pid = -1;
};

TEST_F(FairnessTest, OneUsersIdleConnectionsLockNobodyOutAndAreClosedWhenIdle)
{
    startService(QJsonObject{{"idletimeout", 3}});
    ChildAs greedy(kNobody, kNobody, [](const ChildAs::Report &report) {
        static int fds[256];
        int opened = 0;
        for (int &fd : fds)
            opened += (fd = connectRaw()) >= 0 ? 1 : 0;
        timespec start{};
        ::clock_gettime(CLOCK_MONOTONIC, &start);
        ::usleep(500000);
        auto stillOpen = [] {
            int open = 0;
            for (int fd : fds)
                open += fd >= 0 && !closedByPeer(fd, 0) ? 1 : 0;
            return open;
        };
        report(opened);
        report(stillOpen());
        while (stillOpen() > 0 && msSince(start) < 15000)
            ::usleep(50000);
        report(stillOpen() == 0 ? msSince(start) : -1);
        waitForRelease(20000);
    });
    long opened = 0;
    long held = 0;
    ASSERT_TRUE(greedy.next(opened, 20000));
    ASSERT_TRUE(greedy.next(held, 10000));
    EXPECT_EQ(opened, 256);
    EXPECT_EQ(held, 64) << "one user holds its share (maxpeerconnections) and no more";

    const qint64 root = rootCall(help);
    const long other = otherUserCall(kDaemon, help);
    std::printf("with 256 idle connections of one user: root answered in %lld ms, another user in %ld ms\n",
                static_cast<long long>(root), other);
    EXPECT_GE(root, 0) << "root was locked out";
    EXPECT_LT(root, 1000);
    EXPECT_GE(other, 0) << "another user was locked out";
    EXPECT_LT(other, 1000);

    long closedAfter = 0;
    ASSERT_TRUE(greedy.next(closedAfter, 20000));
    std::printf("the idle connections were closed %ld ms after they opened (idletimeout 3 s)\n", closedAfter);
    EXPECT_GE(closedAfter, 2500) << "closed before the idle time";
    EXPECT_LE(closedAfter, 8000) << "idle connections stayed open";
}

TEST_F(FairnessTest, OneUserCannotTakeEveryPendingByte)
{
    // 8 MiB for all, 2 MiB (a quarter) for one user.
    startService(QJsonObject{{"maxrequestbytes", 1048576}, {"maxpendingbytes", 8388608}});
    const QByteArray partial = header(1000 * 1024) + QByteArray(900 * 1024, ' ');
    ChildAs greedy(kNobody, kNobody, [&partial](const ChildAs::Report &report) {
        static int fds[12];
        for (int &fd : fds) {
            fd = connectRaw();
            for (int done = 0; fd >= 0 && done < partial.size();) {
                const ssize_t n = ::send(fd, partial.constData() + done, size_t(partial.size() - done), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += int(n);
            }
        }
        ::usleep(500000);
        // Still held: nothing to read, neither an answer (9992) nor the end.
        int held = 0;
        for (int fd : fds) {
            pollfd p{fd, POLLIN, 0};
            held += fd >= 0 && ::poll(&p, 1, 0) == 0 ? 1 : 0;
        }
        report(held);
        waitForRelease(30000);
    });
    long held = 0;
    ASSERT_TRUE(greedy.next(held, 60000));
    EXPECT_EQ(held, 2) << "two half-sent requests of 900 KiB fill the user's 2 MiB";

    const QByteArray large = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"},
                                                      {"params", QJsonObject{{"pad", QString(700 * 1024, 'x')}}}})
                                 .toDatagram();
    EXPECT_GE(rootCall(large), 0) << "root's 700 KiB request did not fit";
    EXPECT_GE(otherUserCall(kDaemon, large), 0) << "another user's 700 KiB request did not fit";
}

TEST_F(FairnessTest, MemoryGoesBackAfterLargeRequests)
{
    startService();
    ASSERT_GE(rootCall(help), 0);
    QThread::msleep(300);
    const long baseline = residentKiB(pid);
    const QByteArray large =
        TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}, {"params", QJsonObject{{"pad", QString(4194000, 'x')}}}})
            .toDatagram();
    ASSERT_LE(large.size(), 4194304) << "within the default maxrequestbytes";
    std::vector<int> idle;
    int answered = 0;
    for (int i = 0; i < 48; ++i) {
        const int fd = connectRaw();
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
        answered += rawCall(fd, large).value("err").toInt(-1) == 0 ? 1 : 0;
    }
    QThread::msleep(1000);
    const long after = residentKiB(pid);
    std::printf("resident memory: %.1f MiB before, %.1f MiB with 48 idle connections after one 4 MiB request each\n",
                baseline / 1024.0, after / 1024.0);
    EXPECT_EQ(answered, 48);
    EXPECT_LE(after - baseline, 20 * 1024) << "the connections kept their large buffers";
    closeAll(idle);
}

TEST_F(FairnessTest, TheGroupCheckReadsTheConnectingProcesssOwnGroups)
{
    ASSERT_TRUE(tb::run("groupadd", {"-f", "zrlpc"}).ok());
    tb::run("userdel", {"zrmember"});
    ASSERT_TRUE(tb::run("useradd", {"-M", "-N", "-G", "zrlpc", "zrmember"}).ok());
    startService(QJsonObject{{"lpcgroup", "zrlpc"}});
    const QString ctl = tb::env("ZFSREP_BINARY_DIR") + "/zfsrepctl/zfsrepctl";
    auto callAs = [&](const QStringList &identity) {
        return tb::run("setpriv", identity + QStringList{ctl, "--socket", kSocket, "--timeout", "5", "help_interfaces"});
    };
    // nobody is in no group of the account database, but this process holds
    // the group: served.
    const tb::Run holder = callAs({"--reuid=nobody", "--regid=nogroup", "--groups=zrlpc"});
    EXPECT_EQ(holder.exitCode, 0) << holder.err.toStdString();
    // zrmember is a member by the account database, but this process
    // dropped the group: refused.
    const tb::Run dropped = callAs({"--reuid=zrmember", "--regid=users", "--clear-groups"});
    EXPECT_NE(dropped.exitCode, 0);
    EXPECT_FALSE(dropped.out.contains("\"err\"")) << dropped.out.toStdString();
    const tb::Run member = callAs({"--reuid=zrmember", "--regid=users", "--init-groups"});
    EXPECT_EQ(member.exitCode, 0) << member.err.toStdString();
}

TEST_F(FairnessTest, ASocketPlaceOtherUsersCouldTakeIsRefused)
{
    QDir().mkpath("/tarn/open");
    ASSERT_EQ(::chmod("/tarn/open", 0777), 0);
    service.start(QJsonObject{{"lpcid", "/tarn/open/zfsrep.sock"}});
    EXPECT_EQ(service.waitForExit(60000), 255);
    EXPECT_TRUE(service.output().contains("cannot listen on local socket /tarn/open/zfsrep.sock: the directory "
                                          "/tarn/open can be written by other users"))
        << service.output().toStdString();
    EXPECT_FALSE(QFile::exists("/tarn/open/zfsrep.sock"));

    // A bare name lives in the temporary directory (sticky, shared): a file
    // another user left under that name is neither removed nor used.
    const QString name = QStringLiteral("zfsrep-e2e-squat-%1.sock").arg(::getpid());
    const QString squat = QDir::cleanPath(QDir::tempPath()) + "/" + name;
    QFile file(squat);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_EQ(::chown(QFile::encodeName(squat).constData(), kNobody, kNobody), 0);
    Service second;
    second.start(QJsonObject{{"lpcid", name}});
    EXPECT_EQ(second.waitForExit(60000), 255);
    EXPECT_TRUE(second.output().contains("already exists and belongs to user 65534")) << second.output().toStdString();
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(squat).constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the other user's file was replaced";
    QFile::remove(squat);
}

} // namespace
