// zfsrepctl sends nothing to a socket served by a user who is neither root
// nor the caller: a listener running as "nobody" never receives a byte, and
// the caller is told why.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

// In a child: listens on `path` as `uid`/`gid`, takes one connection and
// reports through `report` how many bytes arrived on it within 3 s (-1:
// no connection within 15 s). Only system calls after fork.
[[noreturn]] void serveAs(const char *path, uid_t uid, gid_t gid, int report)
{
    int count = -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::setgroups(0, nullptr) != 0
        || ::setgid(gid) != 0 || ::setuid(uid) != 0 || ::listen(fd, 4) != 0)
        ::_exit(3);
    if (::write(report, "L", 1) != 1) // listening
        ::_exit(4);
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 15000) == 1) {
        const int client = ::accept(fd, nullptr, nullptr);
        count = 0;
        char buffer[4096];
        for (;;) {
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 3000) != 1)
                break;
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0)
                break;
            count += int(n);
        }
    }
    if (::write(report, &count, sizeof count) != ssize_t(sizeof count))
        ::_exit(4);
    ::_exit(0);
}

TEST(ZfsrepctlPeer, RefusesASocketServedByAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to serve a socket as another user";
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user 'nobody' on this machine";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray path = dir.filePath("foreign.sock").toLocal8Bit();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        serveAs(path.constData(), nobody->pw_uid, nobody->pw_gid, pipeFds[1]);
    }
    ::close(pipeFds[1]);
    char listening = 0;
    ASSERT_EQ(::read(pipeFds[0], &listening, 1), 1) << "the listener did not start";

    // A password on its way in: it must not reach that socket.
    QProcess ctl;
    ctl.start(QStringLiteral(ZFSREPCTL_PATH),
              {"--socket", QString::fromLocal8Bit(path), "zfsrep_pools_remote", "host=10.0.0.2", "userid=r",
               "passwd=not-for-nobody"});
    ASSERT_TRUE(ctl.waitForFinished(20000));
    const QByteArray err = ctl.readAllStandardError();
    EXPECT_EQ(ctl.exitCode(), 2) << err.toStdString();
    EXPECT_TRUE(err.contains("refusing to use " + path)) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("uid %1").arg(nobody->pw_uid).toUtf8())) << err.toStdString();
    EXPECT_TRUE(ctl.readAllStandardOutput().isEmpty());

    int received = -2;
    EXPECT_EQ(::read(pipeFds[0], &received, sizeof received), ssize_t(sizeof received));
    EXPECT_EQ(received, 0) << "-1: zfsrepctl never connected; more: it sent bytes to a foreign peer";
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
