// The real service on the testbed logging in to the remote host with its own
// key (configuration "sshidentity") when a mission or query has no password,
// with the password when it has one, and refusing a host whose key changed
// until an operator forgets the recorded key. What logged in is read from
// the testbed sshd's log.
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>
#include <functional>
#include <unistd.h>

namespace {

const QString kKnownHosts = QStringLiteral("/tarn/etc/zfs/zfsrep.known_hosts");

QJsonObject config(const QString &identity)
{
    QJsonObject c{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", "no"}};
    if (!identity.isEmpty())
        c.insert("sshidentity", identity);
    return c;
}

// A send of tank/data to backup that runs only when asked to.
QJsonObject sendMission(const QString &caption, const QString &passwd)
{
    const QJsonArray yearly = QJsonDocument::fromJson(R"([{"months":[1],"days":[1],"hours":[0],"minutes":[0]}])").array();
    return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                       {"passwd", passwd}, {"snapname", "e2e"}, {"schedules", yearly}};
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(100);
    }
    return condition();
}

QByteArray sshdLog()
{
    QFile file(tb::env("ZFSREP_TB_SSH_LOG"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A fresh key pair the test user does not accept; returns the private key.
QString foreignKey()
{
    const QString key = tb::scratchDir("foreign-key") + "/id_ed25519";
    const tb::Run made = tb::run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", key});
    EXPECT_TRUE(made.ok()) << made.err.toStdString();
    return key;
}

class SshLoginE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        Service::resetState();
        for (const QString &name : tb::localSnapshots("tank/data"))
            tb::localZfs({"destroy", name});
        tb::remoteZfs({"destroy", "-r", "backup/data"});
        tb::localZfs({"destroy", "-r", "tank/pulled"});
        logStart = sshdLog().size();
    }

    void TearDown() override
    {
        if (service.isRunning()) {
            EXPECT_EQ(service.stop(SIGTERM, 20000), 0);
        }
    }

    void startService(const QString &identity)
    {
        service.start(config(identity));
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    }

    int append(const QJsonObject &mission)
    {
        const Service::Call call = service.ctl("zfsrep_mission_append", mission);
        EXPECT_EQ(call.exitCode, 0) << QJsonDocument(call.response).toJson().toStdString();
        const QJsonArray records =
            service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
        return records.isEmpty() ? 0 : records.last().toObject().value("msnno").toInt();
    }

    // Starts the mission now and returns its run once it has ended.
    QJsonObject runToEnd(int msnno)
    {
        const int before = runsOf(msnno).size();
        const Service::Call run = service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}});
        EXPECT_EQ(run.exitCode, 0) << QJsonDocument(run.response).toJson().toStdString();
        QJsonObject ended;
        waitFor([&] {
            const QJsonArray runs = runsOf(msnno);
            if (runs.size() <= before || runs.at(0).toObject().value("outcome").toString() == "running")
                return false;
            ended = runs.at(0).toObject();
            return true;
        }, 90000);
        return ended;
    }

    QJsonArray runsOf(int msnno)
    {
        return service.ctl("zfsrep_mission_history", QJsonObject{{"msnno", msnno}}).response.value("results").toArray();
    }

    // The sshd log written since the test began.
    QByteArray newLog() { return sshdLog().mid(logStart); }

    Service service;
    int logStart = 0;
};

TEST_F(SshLoginE2e, SendPullAndQueryWithoutPasswordLogInWithTheKey)
{
    startService(tb::env("ZFSREP_TB_SSH_KEY"));
    const QString accepted = "Accepted publickey for " + tb::user();

    const int send = append(sendMission("Keyed send", ""));
    ASSERT_GT(send, 0);
    const QJsonObject sent = runToEnd(send);
    ASSERT_EQ(sent.value("outcome").toString(), "succeeded") << QJsonDocument(sent).toJson().toStdString();
    EXPECT_EQ(tb::treeDigest(tb::remotePath("backup/data")), tb::treeDigest(tb::localPath("tank/data")));

    QJsonObject pull = sendMission("Keyed pull", "");
    pull.insert("action", 2);
    pull.insert("name", "pulled");
    pull.insert("path", "backup/data");
    const int pulled = append(pull);
    ASSERT_GT(pulled, 0);
    const QJsonObject run = runToEnd(pulled);
    ASSERT_EQ(run.value("outcome").toString(), "succeeded") << QJsonDocument(run).toJson().toStdString();
    EXPECT_EQ(tb::treeDigest(tb::localPath("tank/pulled")), tb::treeDigest(tb::remotePath("backup/data")));

    const Service::Call pools = service.ctl(
        "zfsrep_pools_remote",
        QJsonObject{{"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()}, {"passwd", ""}});
    EXPECT_EQ(pools.exitCode, 0) << QJsonDocument(pools.response).toJson().toStdString();
    EXPECT_TRUE(pools.response.value("results").toObject().contains("backup"));

    const QByteArray log = newLog();
    EXPECT_TRUE(log.contains(accepted.toUtf8())) << log.toStdString();
    EXPECT_FALSE(log.contains("Accepted password")) << log.toStdString();
    // Each run logs in once (its connection master), the query once.
    EXPECT_EQ(log.count(accepted.toUtf8()), 3) << log.toStdString();
    // The first connection recorded the host's key in the service's file
    // (names may be hashed: ssh-keygen -F finds them either way).
    const QString name = QString("[%1]:%2").arg(tb::host()).arg(tb::port());
    EXPECT_TRUE(tb::run("ssh-keygen", {"-F", name, "-f", kKnownHosts}).ok());
    const QFile known(kKnownHosts);
    EXPECT_EQ(known.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther), 0);
}

TEST_F(SshLoginE2e, MissionWithPasswordStillLogsInWithIt)
{
    startService(tb::env("ZFSREP_TB_SSH_KEY"));
    const int send = append(sendMission("Password send", tb::password()));
    ASSERT_GT(send, 0);
    const QJsonObject sent = runToEnd(send);
    ASSERT_EQ(sent.value("outcome").toString(), "succeeded") << QJsonDocument(sent).toJson().toStdString();
    const QByteArray log = newLog();
    EXPECT_TRUE(log.contains("Accepted password for " + tb::user().toUtf8())) << log.toStdString();
    EXPECT_FALSE(log.contains("Accepted publickey")) << log.toStdString();
}

TEST_F(SshLoginE2e, WrongKeyFailsWithSshsMessage)
{
    startService(foreignKey());
    const int send = append(sendMission("Wrong key", ""));
    ASSERT_GT(send, 0);
    const QJsonObject failed = runToEnd(send);
    EXPECT_EQ(failed.value("outcome").toString(), "failed");
    EXPECT_TRUE(failed.value("error").toString().contains("Permission denied (publickey"))
        << failed.value("error").toString().toStdString();
    EXPECT_FALSE(tb::remoteExists("backup/data"));
}

TEST_F(SshLoginE2e, KeyReadableByOthersStopsTheStart)
{
    const QString key = foreignKey();
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    service.start(config(key));
    EXPECT_EQ(service.waitForExit(15000), 255) << "main() returns -1 on a start-up failure";
    const QString output = QString::fromUtf8(service.output());
    EXPECT_TRUE(output.contains("zfsrep: sshidentity " + key + " has mode 0644")) << output.toStdString();

    // Without a key an empty password is refused as before.
    startService(QString());
    const Service::Call refused = service.ctl("zfsrep_mission_append", sendMission("No key", ""));
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(refused.response.value("errmsg").toString(), QString::fromUtf8("缺少参数: passwd"));
}

TEST_F(SshLoginE2e, ChangedHostKeyFailsUntilForgotten)
{
    startService(QString());
    const int send = append(sendMission("Host key", tb::password()));
    ASSERT_GT(send, 0);
    ASSERT_EQ(runToEnd(send).value("outcome").toString(), "succeeded");

    // The host is "reinstalled": a new host key, which sshd reads on SIGHUP.
    const QString hostKey = tb::env("ZFSREP_TB_SSH_HOSTKEY");
    QFile::remove(hostKey);
    QFile::remove(hostKey + ".pub");
    ASSERT_TRUE(tb::run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", hostKey}).ok());
    const tb::Run print = tb::run("ssh-keygen", {"-l", "-f", hostKey + ".pub"});
    const QString fingerprint = QString::fromUtf8(print.out).split(' ').value(1);
    ASSERT_TRUE(fingerprint.startsWith("SHA256:")) << print.out.toStdString();
    ::kill(static_cast<pid_t>(tb::env("ZFSREP_TB_SSHD_PID").toInt()), SIGHUP);
    const QStringList probe{"-p", QString::number(tb::port()), "-o", "StrictHostKeyChecking=no",
                            "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes",
                            "-o", "PreferredAuthentications=none", tb::user() + "@" + tb::host(), "true"};
    ASSERT_TRUE(waitFor([&] { return tb::run("ssh", probe, {}, 10000).err.contains("Permission denied"); }, 10000))
        << "sshd did not come back after SIGHUP";

    tb::localZfs({"snapshot", "tank/data@between"});
    const QJsonObject refused = runToEnd(send);
    EXPECT_EQ(refused.value("outcome").toString(), "failed");
    const QString name = QString("[%1]:%2").arg(tb::host()).arg(tb::port());
    EXPECT_TRUE(refused.value("error").toString().contains(
              QString("host key of %1 has changed (now ED25519 %2): refused; if the host was reinstalled, run "
                      "zfsrepctl hostkey forget %3 %4")
                  .arg(name, fingerprint, tb::host())
                  .arg(tb::port())))
        << refused.value("error").toString().toStdString();

    const tb::Run forget = tb::run(tb::env("ZFSREP_BINARY_DIR") + "/zfsrepctl/zfsrepctl",
                                   {"--socket", service.socket(), "hostkey", "forget", tb::host(),
                                    QString::number(tb::port())});
    ASSERT_TRUE(forget.ok()) << forget.err.toStdString();
    EXPECT_TRUE(forget.out.startsWith("forgot the host key of")) << forget.out.toStdString();
    // Who forgot which host's key stays on record.
    const QJsonArray records =
        service.ctl("zfsrep_log_alload").response.value("results").toObject().value("records").toArray();
    ASSERT_FALSE(records.isEmpty());
    const QJsonObject record = records.at(0).toObject();
    EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_HOSTKEY_FORGET: " + name + " BY uid 0 (root)")
        << QJsonDocument(record).toJson().toStdString();
    EXPECT_EQ(record.value("level").toString(), "Information");
    EXPECT_EQ(record.value("host").toString(), tb::host());
    EXPECT_EQ(record.value("port").toInt(), tb::port());
    EXPECT_EQ(record.value("uid").toInt(-1), 0);
    EXPECT_EQ(record.value("found").toInt(), 1);
    const QJsonObject again = runToEnd(send);
    EXPECT_EQ(again.value("outcome").toString(), "succeeded") << QJsonDocument(again).toJson().toStdString();
    QFile known(kKnownHosts);
    ASSERT_TRUE(known.open(QIODevice::ReadOnly));
    const tb::Run fingerprints = tb::run("ssh-keygen", {"-l", "-f", kKnownHosts});
    EXPECT_TRUE(fingerprints.out.contains(fingerprint.toUtf8())) << fingerprints.out.toStdString();
}

} // namespace

namespace {

TEST_F(SshLoginE2e, AKeyAnotherUserControlsIsRefusedAtStartAndBeforeEachRun)
{
    // Owned by nobody, owner-only mode: still not the service's key.
    const QString theirs = foreignKey();
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    service.start(config(theirs));
    EXPECT_EQ(service.waitForExit(15000), 255);
    QString output = QString::fromUtf8(service.output());
    EXPECT_TRUE(output.contains("the sshidentity " + theirs + " belongs to uid 65534")) << output.toStdString();

    // Root's key in a directory nobody owns: nobody could swap it.
    const QString nobodysDir = tb::scratchDir("nobodys-keys");
    const QString inTheirDir = nobodysDir + "/id_ed25519";
    ASSERT_TRUE(QFile::copy(tb::env("ZFSREP_TB_SSH_KEY"), inTheirDir));
    ASSERT_TRUE(QFile::setPermissions(inTheirDir, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_EQ(::chown(QFile::encodeName(nobodysDir).constData(), 65534, 65534), 0);
    service.start(config(inTheirDir));
    EXPECT_EQ(service.waitForExit(15000), 255);
    output = QString::fromUtf8(service.output());
    EXPECT_TRUE(output.contains("belongs to uid 65534, not root")) << output.toStdString();

    // A sound key at start, replaced by a link afterwards: the run is refused
    // naming the key before any ssh logs in.
    const QString keyDir = tb::scratchDir("own-keys");
    const QString key = keyDir + "/id_ed25519";
    ASSERT_TRUE(QFile::copy(tb::env("ZFSREP_TB_SSH_KEY"), key));
    ASSERT_TRUE(QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner));
    startService(key);
    const int send = append(sendMission("Swapped key", ""));
    ASSERT_GT(send, 0);
    ASSERT_TRUE(QFile::rename(key, key + ".moved"));
    ASSERT_TRUE(QFile::link(key + ".moved", key));
    const QJsonObject refused = runToEnd(send);
    EXPECT_EQ(refused.value("outcome").toString(), "failed");
    EXPECT_EQ(refused.value("error").toString(), "the sshidentity " + key + " is a link, and links are not followed");
    EXPECT_FALSE(newLog().contains("Accepted publickey")) << newLog().toStdString();
    EXPECT_FALSE(tb::remoteExists("backup/data"));
}

} // namespace

namespace {

TEST_F(SshLoginE2e, AHostKeyThatCannotBeRecordedStopsTheRun)
{
    startService(QString());
    // The known-hosts file cannot be written (as on a full file system):
    // ssh's accept-new connects anyway, without recording the key.
    ASSERT_TRUE(tb::run("mount", {"--bind", "-o", "ro", kKnownHosts, kKnownHosts}).ok());
    const int send = append(sendMission("Unpinned", tb::password()));
    ASSERT_GT(send, 0);
    const QJsonObject refused = runToEnd(send);
    ASSERT_TRUE(tb::run("umount", {kKnownHosts}).ok());
    EXPECT_EQ(refused.value("outcome").toString(), "failed");
    const QString name = QString("[%1]:%2").arg(tb::host()).arg(tb::port());
    EXPECT_EQ(refused.value("error").toString(),
              "the host key of " + name + " was not recorded in " + kKnownHosts
                  + " (is its file system full or read-only?): the run stops, so that the host's key stays pinned");
    EXPECT_FALSE(tb::remoteExists("backup/data")) << "nothing was sent to an unpinned host";

    // Once the key can be recorded, the next run records it and goes on.
    const QJsonObject sent = runToEnd(send);
    EXPECT_EQ(sent.value("outcome").toString(), "succeeded") << QJsonDocument(sent).toJson().toStdString();
    EXPECT_TRUE(tb::run("ssh-keygen", {"-F", name, "-f", kKnownHosts}).ok());
}

} // namespace

namespace {

TEST_F(SshLoginE2e, ARemoteHostsEscapeSequencesNeverReachTheAdminsTerminal)
{
    // A hostile backup host whose zfs list fails with a title change, a
    // clear screen, colours and an OSC 52 clipboard write.
    const QByteArray hostile = "cannot list: \x1b]0;owned\x07\x1b[2J\x1b[H\x1b[31mred\x1b[0m "
                               "\x1b]52;c;cm0gLXJmIH4K\x07 done";
    tb::setRemoteFault("fail-list", hostile);
    startService(QString());
    const int send = append(sendMission("Hostile host", tb::password()));
    ASSERT_GT(send, 0);
    const QJsonObject failed = runToEnd(send);
    tb::clearFaults();
    EXPECT_EQ(failed.value("outcome").toString(), "failed");
    const QString stored = failed.value("error").toString();
    const QString r = QString(QChar(0xFFFD));
    EXPECT_TRUE(stored.contains("cannot list: " + r + r + r + r + "red" + r + " " + r + " done")) << stored.toStdString();

    const QString ctl = tb::env("ZFSREP_BINARY_DIR") + "/zfsrepctl/zfsrepctl";
    const QStringList socket{"--socket", service.socket()};
    const struct {
        const char *name;
        QStringList args;
    } outputs[] = {
        {"history", {"history", QString::number(send)}},
        {"history --json", {"history", QString::number(send), "--json"}},
        {"watch", {"watch", "--once", "--width", "300"}},
        {"show", {"show", QString::number(send)}},
        {"listing", {"zfsrep_mission_alload"}},
        {"event log", {"zfsrep_log_alload"}},
    };
    for (const auto &o : outputs) {
        SCOPED_TRACE(o.name);
        const tb::Run printed = tb::run(ctl, socket + o.args);
        EXPECT_EQ(printed.exitCode, 0) << printed.err.toStdString();
        EXPECT_TRUE(printed.out.contains("red")) << printed.out.toStdString();
        for (const char *control : {"\x1b", "\x07", "\xc2\x9b", "\xc2\x9d"})
            EXPECT_FALSE((printed.out + printed.err).contains(control)) << printed.out.toStdString();
    }
}

} // namespace
