#include "argumentbatches.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

#include <QProcess>

namespace {

// Runs `printf %s <quoted>` through a real POSIX shell and returns what it
// printed: quoting is right when the shell hands the value back unchanged.
QString throughShell(const QString &value)
{
    QProcess sh;
    sh.start("/bin/sh", {"-c", "printf %s " + ZfsCommands::shellQuote(value)});
    sh.waitForFinished(5000);
    return QString::fromUtf8(sh.readAllStandardOutput());
}

TEST(ShellQuote, HostileValuesSurviveAShell)
{
    const QStringList values{
        "plain", "", "with space", "it's", "'", "''", "a\"b", "$(touch /tmp/pwned)", "`id`", "x; rm -rf /",
        "line\nbreak", "-rf", "back\\slash", "tab\tx", "$HOME", "*", "a|b&c>d<e",
    };
    for (const QString &value : values) {
        SCOPED_TRACE(value.toStdString());
        EXPECT_EQ(throughShell(value), value);
    }
    EXPECT_EQ(ZfsCommands::shellQuote("it's"), "'it'\\''s'");
}

TEST(EndpointCheck, RefusesValuesThatCouldBeOptionsOrSplit)
{
    const struct {
        const char *host;
        const char *user;
        const char *bad;
    } cases[] = {
        {"127.0.0.1", "root", ""},
        {"backup.example.com", "zr-test", ""},
        {"", "root", "host"},
        {"   ", "root", "host"},
        {"-oProxyCommand=x", "root", "host"},
        {"h st", "root", "host"},
        {"host\n", "root", "host"},
        {"host", "", "userid"},
        {"host", "-l", "userid"},
        {"host", "a b", "userid"},
        {"host", "a\tb", "userid"},
        {"host", "a\x01", "userid"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(ZfsCommands::invalidEndpointParameter(c.host, c.user), c.bad);
    }
}

TEST(SshRequest, PasswordOnlyInEnvironment)
{
    const ProcessRequest request =
        ZfsCommands::sshRequest("h", 2222, "root", "s3cret pass", "zpool list -Hpo name,size,free", 10000, 25000);
    EXPECT_EQ(request.program, "sshpass");
    EXPECT_EQ(request.arguments,
              (QStringList{"-e", "ssh", "-p", "2222", "-o", "StrictHostKeyChecking=accept-new", "-o", "UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts", "-o", "ServerAliveInterval=15", "-o",
                                              "ServerAliveCountMax=4", "-o", "ConnectTimeout=20", "root@h",
                           "zpool list -Hpo name,size,free"}));
    EXPECT_EQ(request.environment.value("SSHPASS"), "s3cret pass");
    EXPECT_FALSE(request.arguments.join(' ').contains("s3cret"));
    EXPECT_EQ(request.startTimeoutMs, 10000);
    EXPECT_EQ(request.finishTimeoutMs, 25000);
}

// $ head -c 600 /proc/cpuinfo   (excerpts of this machine's, an AMD EPYC guest)
TEST(SshOptions, CpuFlagsAreReadFromTheFirstProcessor)
{
    const QByteArray cpuinfo = "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC\n"
                               "flags\t\t: fpu vme de pse sse2 pclmulqdq aes avx avx2 sha_ni\n"
                               "bugs\t\t: sysret_ss_attrs\n\nprocessor\t: 1\nflags\t\t: fpu\n";
    EXPECT_EQ(ZfsCommands::cpuFlags(cpuinfo), "fpu vme de pse sse2 pclmulqdq aes avx avx2 sha_ni");
    EXPECT_EQ(ZfsCommands::cpuFlags("processor\t: 0\nFeatures\t: fp asimd aes\n"), "") << "no x86 flags line";
    EXPECT_EQ(ZfsCommands::cpuFlags(""), "");
    EXPECT_EQ(ZfsCommands::cpuFlagsOf("/nonexistent/cpuinfo"), "");
#if defined(__x86_64__)
    // The kernel's file reports a size of 0: it must be read to its end.
    EXPECT_TRUE(ZfsCommands::cpuFlagsOf("/proc/cpuinfo").split(' ').contains("fpu"))
        << "every x86-64 processor lists fpu";
#endif
}

TEST(SshOptions, CipherOrderFollowsTheCpu)
{
    const QString aesFirst = ZfsCommands::cipherOrderFor("fpu vme sse2 aes avx2 sha_ni");
    EXPECT_TRUE(aesFirst.startsWith("aes128-gcm@openssh.com,"));
    // Nothing ssh offers by default is dropped, so no host that accepts
    // today's connection is refused.
    for (const char *cipher : {"chacha20-poly1305@openssh.com", "aes128-ctr", "aes192-ctr", "aes256-ctr",
                               "aes128-gcm@openssh.com", "aes256-gcm@openssh.com"})
        EXPECT_TRUE(aesFirst.split(',').contains(cipher)) << cipher;
    EXPECT_EQ(ZfsCommands::cipherOrderFor("fpu vme sse2 aesni_missing avx2"), "") << "ssh's own order";
    ZfsCommands::setCipherOrder(aesFirst);
    EXPECT_TRUE(ZfsCommands::sshOptions().contains("Ciphers=" + aesFirst));
    ZfsCommands::setCipherOrder(QString());
    EXPECT_FALSE(ZfsCommands::sshOptions().join(' ').contains("Ciphers"));
}

} // namespace

TEST(ArgumentBatches, ListsOfSnapshotsStayBelowTheLimit)
{
    // 11,500 snapshot names, as a pull over a long history lists them.
    QStringList names;
    for (int i = 0; i < 11500; ++i)
        names.append(QStringLiteral("tank/data/child%1@hourly_2026%2").arg(i % 100).arg(i, 10, 10, QLatin1Char('0')));
    const QList<QStringList> groups = ArgumentBatches::split(names);
    ASSERT_GT(groups.size(), 1);
    QStringList joined;
    for (const QStringList &group : groups) {
        qint64 bytes = 0;
        for (const QString &name : group)
            bytes += name.toUtf8().size() + 3;
        EXPECT_LE(bytes, ArgumentBatches::kBytes);
        joined += group;
    }
    EXPECT_EQ(joined, names) << "every name once, in order";

    struct Row {
        const char *name;
        QStringList items;
        int limit;
        int groups;
    } rows[] = {
        {"nothing", {}, 100, 0},
        {"all in one", {"a@1", "a@2"}, 100, 1},
        {"exactly at the limit", {"a@1", "a@2"}, 12, 1},
        {"one byte over", {"a@1", "a@2"}, 11, 2},
        {"an item longer than the limit is alone", {"a@1", QString(50, 'x'), "a@2"}, 20, 3},
        {"quotes count as the remote shell writes them", {"a@'1'", "a@2"}, 14, 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ArgumentBatches::split(row.items, row.limit).size(), row.groups);
    }
}
