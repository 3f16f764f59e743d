// zfsrepctl add/edit/show against the real service on the testbed: each of
// the four kinds is stored with the fields given on the command line, a bad
// schedule text stores nothing, an edit changes only what it names, and the
// password never stands in the process's command line or in text printed
// for people.
#include "service.h"
#include "tbharness.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

QJsonObject config()
{
    return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"debugging", "no"}, {"appname", "zfsrep"}};
}

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

// zfsrepctl started with `args` and descriptor 3 the read end of a pipe
// that stays open until write() is called: the process waits there, as a
// user's would while a password manager takes its time.
class PasswordPipeRun
{
public:
    explicit PasswordPipeRun(const QStringList &args)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        writeEnd = fds[1];
        // Above 3, so that the dup2 below always clears close-on-exec.
        const int readEnd = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
        ::close(fds[0]);
        fds[0] = readEnd;
        out = (tb::scratchDir("ctl-out") + "/out.txt").toLocal8Bit();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        QList<QByteArray> words{QByteArray(ZFSREPCTL_PATH)};
        for (const QString &arg : args)
            words << arg.toUtf8();
        std::vector<char *> argv;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        // The testbed keeps the password in the environment; the child does
        // not get it, so that finding it there would mean zfsrepctl put it.
        QList<QByteArray> variables;
        for (char **v = environ; *v; ++v) {
            if (!QByteArray(*v).startsWith("ZFSREP_TB_SSH_PASSWORD="))
                variables << QByteArray(*v);
        }
        std::vector<char *> envp;
        for (QByteArray &variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid, ZFSREPCTL_PATH, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
    }
    ~PasswordPipeRun()
    {
        if (writeEnd >= 0)
            ::close(writeEnd);
        if (pid > 0)
            finish();
    }
    pid_t processId() const { return pid; }
    QByteArray proc(const char *file) const
    {
        QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // False when the process no longer reads (it ended without asking).
    bool write(const QByteArray &line)
    {
        const bool written = ::write(writeEnd, line.constData(), size_t(line.size())) == line.size();
        ::close(writeEnd);
        writeEnd = -1;
        return written;
    }
    // The exit status (at most 60 s), then what it printed.
    int finish()
    {
        for (int i = 0; i < 600; ++i) {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            QThread::msleep(100);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
        return -1;
    }
    QByteArray output() const
    {
        QFile f(QString::fromLocal8Bit(out));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QByteArray out;
    pid_t pid = -1;
    int writeEnd = -1;
};

class CtlE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        std::signal(SIGPIPE, SIG_IGN); // a password written to a client that did not read it
        Service::resetState();
        service.start(config());
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    }

    // zfsrepctl --socket S ARGS, its password (if any) on descriptor 3.
    tb::Run ctl(const QStringList &args, const QString &password = QString())
    {
        PasswordPipeRun run(QStringList{"--socket", service.socket()} + args);
        run.write(password.toUtf8() + '\n');
        tb::Run result;
        result.exitCode = run.finish();
        result.out = run.output();
        return result;
    }

    // The listed mission with `caption`; the listing is read through a
    // pipe, so it comes as the service sent it.
    QJsonObject listed(const QString &caption)
    {
        const QJsonArray records =
            service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
        for (const QJsonValue &value : records) {
            if (value.toObject().value("caption").toString() == caption)
                return value.toObject();
        }
        return QJsonObject();
    }

    void expectFields(const QJsonObject &mission, const QJsonObject &expected)
    {
        for (auto it = expected.begin(); it != expected.end(); ++it)
            EXPECT_EQ(mission.value(it.key()), it.value()) << it.key().toStdString();
    }

    QString remote(const QString &path) const
    {
        return QStringLiteral("%1@%2:%3/%4").arg(tb::user(), tb::host()).arg(tb::port()).arg(path);
    }

    Service service;
};

TEST_F(CtlE2e, AddStoresEachKindWithTheGivenFields)
{
    const QString pw = tb::password();
    const QString port = QString::number(tb::port());
    tb::Run run = ctl({"add", "--caption", "nightly", "--send", "tank/data", "--to", remote("backup"), "--series",
                       "NIGHT", "--erase", "--ratelimit", "10M", "--schedule", "days=mon-fri hours=1,13 minutes=30",
                       "--schedule", "days=sun hours=4 minutes=0", "--password-fd", "3"},
                      pw);
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("added (nightly)")) << run.out.toStdString();
    expectFields(listed("nightly"),
                 QJsonObject{{"action", 1}, {"pool", "tank"}, {"name", "data"}, {"path", "backup"},
                             {"host", tb::host()}, {"port", port}, {"userid", tb::user()}, {"passwd", pw},
                             {"snapname", "NIGHT"}, {"ratelimit", 10485760},
                             {"schedules", QJsonDocument::fromJson(R"([{"weeks":[1,2,3,4,5],"hours":[1,13],
                                  "minutes":[30]},{"weeks":[7],"hours":[4],"minutes":[0]}])").array()}});
    EXPECT_TRUE(listed("nightly").value("erase").toVariant().toBool());

    run = ctl({"add", "--caption", "pull back", "--pull", remote("backup/data@NIGHT_20261208"), "--into",
               "tank/pulled", "--schedule", "dates=1 hours=2 minutes=0", "--password-fd", "3"},
              pw);
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    expectFields(listed("pull back"),
                 QJsonObject{{"action", 2}, {"pool", "tank"}, {"name", "pulled"}, {"path", "backup/data@NIGHT_20261208"},
                             {"host", tb::host()}, {"port", port}, {"userid", tb::user()}, {"passwd", pw},
                             {"snapname", "ZFSREP"},
                             {"schedules", QJsonArray{object(R"({"days":[1],"hours":[2],"minutes":[0]})")}}});

    run = ctl({"add", "--caption", "to file", "--export", "tank/data", "--dir", "/tarn/exports", "--ratelimit",
               "512K", "--schedule", "months=jan,jul dates=1 hours=3 minutes=0"});
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    expectFields(listed("to file"),
                 QJsonObject{{"action", 3}, {"pool", "tank"}, {"name", "data"}, {"path", "/tarn/exports"},
                             {"ratelimit", 524288},
                             {"schedules", QJsonArray{object(R"({"months":[1,7],"days":[1],"hours":[3],"minutes":[0]})")}}});

    run = ctl({"add", "--caption", "from file", "--restore", "/tarn/exports/data.gz", "--into", "tank/restored",
               "--schedule", "days=sat hours=5 minutes=45"});
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    expectFields(listed("from file"),
                 QJsonObject{{"action", 4}, {"pool", "tank"}, {"name", "restored"}, {"path", "/tarn/exports/data.gz"},
                             {"schedules", QJsonArray{object(R"({"weeks":[6],"hours":[5],"minutes":[45]})")}}});

    // An empty password is the service's to judge; the refusal is passed on.
    run = ctl({"add", "--caption", "no password", "--send", "tank/data", "--to", remote("backup"), "--no-password",
               "--schedule", "hours=1 minutes=0"});
    EXPECT_NE(run.exitCode, 64) << "the client sent it";
    if (run.exitCode == 1)
        EXPECT_TRUE(run.out.contains("passwd")) << run.out.toStdString();
    else
        EXPECT_EQ(listed("no password").value("passwd").toString(), "");
}

TEST_F(CtlE2e, ABadScheduleTextStoresNothingAndNamesThePart)
{
    const tb::Run run = ctl({"add", "--caption", "typo", "--send", "tank/data", "--to", remote("backup"),
                             "--schedule", "days=mnday hours=2", "--password-fd", "3"},
                            tb::password());
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_TRUE(run.out.contains("--schedule: days: unknown day 'mnday'")) << run.out.toStdString();
    EXPECT_TRUE(listed("typo").isEmpty());
    EXPECT_TRUE(
        service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray().isEmpty());
}

TEST_F(CtlE2e, ThePasswordIsNeverOnTheCommandLineNorShown)
{
    const QString pw = tb::password();
    PasswordPipeRun run({"--socket", service.socket(), "add", "--caption", "secret", "--send", "tank/data", "--to",
                         remote("backup"), "--schedule", "hours=2 minutes=30", "--password-fd", "3"});
    ASSERT_GT(run.processId(), 0);
    // Wait until it reads descriptor 3 (it sits in read()).
    QElapsedTimer timer;
    timer.start();
    while (!run.proc("cmdline").contains("--password-fd") && timer.elapsed() < 10000)
        QThread::msleep(20);
    QThread::msleep(200);
    const QByteArray cmdline = run.proc("cmdline");
    ASSERT_TRUE(cmdline.contains("--password-fd")) << "the process is not there to look at";
    EXPECT_FALSE(cmdline.contains(pw.toUtf8()));
    EXPECT_FALSE(run.proc("environ").contains(pw.toUtf8()));
    ASSERT_TRUE(run.write(pw.toUtf8() + '\n'));
    ASSERT_EQ(run.finish(), 0) << run.output().toStdString();
    const QJsonObject stored = listed("secret");
    ASSERT_EQ(stored.value("passwd").toString(), pw) << "the password arrived whole";
    const int msnno = stored.value("msnno").toInt();

    // show: the fields readably, the password masked.
    tb::Run show = ctl({"show", QString::number(msnno)});
    EXPECT_EQ(show.exitCode, 0) << show.out.toStdString();
    EXPECT_FALSE(show.out.contains(pw.toUtf8()));
    EXPECT_TRUE(show.out.contains("password    ********")) << show.out.toStdString();
    EXPECT_TRUE(show.out.contains("schedule    hours=2 minutes=30")) << show.out.toStdString();

    // A listing printed on a terminal is masked; --raw shows it as it came.
    const QString listing = QStringLiteral("%1 --socket %2 zfsrep_mission_alload").arg(QStringLiteral(ZFSREPCTL_PATH), service.socket());
    const tb::Run terminal = tb::run("script", {"-qec", listing, "/dev/null"});
    EXPECT_TRUE(terminal.out.contains("\"msnno\"")) << terminal.out.toStdString();
    EXPECT_FALSE(terminal.out.contains(pw.toUtf8())) << terminal.out.toStdString();
    EXPECT_TRUE(terminal.out.contains("********"));
    const tb::Run raw = tb::run("script", {"-qec", listing + " --raw", "/dev/null"});
    EXPECT_TRUE(raw.out.contains(pw.toUtf8()));

    // watch shows the schedule the compact way, not the password.
    tb::Run watch = ctl({"watch", "--once", "--width", "200"});
    EXPECT_TRUE(watch.out.contains("hours=2 minutes=30")) << watch.out.toStdString();
    EXPECT_FALSE(watch.out.contains(pw.toUtf8()));

    // Every --json output of a subcommand is masked, into a pipe too; --raw
    // alone prints the answer as it came.
    const struct {
        const char *name;
        QStringList args;
        bool clear;
    } outputs[] = {
        {"show --json", {"show", QString::number(msnno), "--json"}, false},
        {"watch --once --json", {"watch", "--once", "--json"}, false},
        {"show --raw", {"show", QString::number(msnno), "--raw"}, true},
        {"watch --once --raw", {"watch", "--once", "--raw"}, true},
    };
    for (const auto &o : outputs) {
        SCOPED_TRACE(o.name);
        const tb::Run printed = ctl(o.args);
        EXPECT_EQ(printed.exitCode, 0) << printed.out.toStdString();
        EXPECT_TRUE(printed.out.contains("\"passwd\"")) << printed.out.toStdString();
        EXPECT_EQ(printed.out.contains(pw.toUtf8()), o.clear) << printed.out.toStdString();
        EXPECT_EQ(printed.out.contains("********"), !o.clear) << printed.out.toStdString();
    }
}

TEST_F(CtlE2e, APasswordTypedAtATerminalDescriptorIsNotEchoed)
{
    // --password-fd 0 with a terminal on standard input: the terminal's echo
    // is off while the line is read. The line is typed once the prompt is
    // there (before it, the echo would still be on, as for any program).
    const QString pw = "Typed-Secret-42";
    const QString add = QStringLiteral("%1 --socket %2 add --caption typed --send tank/data --to %3 "
                                       "--schedule 'hours=2 minutes=30' --password-fd 0")
                            .arg(QStringLiteral(ZFSREPCTL_PATH), service.socket(), remote("backup"));
    const tb::Run typed = tb::bash(QStringLiteral("(sleep 2; printf '%1\\n') | timeout 30 script -qec \"%2\" /dev/null")
                                       .arg(pw, add));
    EXPECT_EQ(typed.exitCode, 0) << typed.out.toStdString() << typed.err.toStdString();
    EXPECT_TRUE(typed.out.contains("Password: ")) << typed.out.toStdString();
    EXPECT_FALSE(typed.out.contains(pw.toUtf8())) << "echoed: " << typed.out.toStdString();
    EXPECT_EQ(listed("typed").value("passwd").toString(), pw) << "the password arrived whole";
}

TEST_F(CtlE2e, EditChangesOnlyTheGivenFields)
{
    const QString pw = tb::password();
    ASSERT_EQ(ctl({"add", "--caption", "weekly", "--send", "tank/data", "--to", remote("backup"), "--series",
                   "WEEK", "--erase", "--schedule", "days=sun hours=3 minutes=0", "--password-fd", "3"},
                  pw)
                  .exitCode,
              0);
    const QJsonObject before = listed("weekly");
    const int msnno = before.value("msnno").toInt();
    ASSERT_GT(msnno, 0);

    tb::Run run = ctl({"edit", QString::number(msnno), "--ratelimit", "2M", "--schedule", "days=sat,sun hours=4"});
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    QJsonObject after = listed("weekly");
    QJsonObject expected = before;
    expected.insert("ratelimit", 2097152);
    expected.insert("schedules", QJsonArray{object(R"({"weeks":[6,7],"hours":[4],"minutes":[0]})")});
    for (const char *key : {"msnno", "caption", "action", "pool", "name", "path", "host", "port", "userid", "passwd",
                            "snapname", "erase", "ratelimit", "schedules"})
        EXPECT_EQ(after.value(key), expected.value(key)) << key;

    // A new password from the descriptor, and a kind that cannot change.
    run = ctl({"edit", QString::number(msnno), "--password-fd", "3"}, pw + "-new");
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(listed("weekly").value("passwd").toString(), pw + "-new");
    run = ctl({"edit", QString::number(msnno), "--dir", "/tarn/x"});
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_TRUE(run.out.contains("--dir does not apply to send missions")) << run.out.toStdString();
    run = ctl({"edit", "999", "--erase"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains("mission 999 does not exist")) << run.out.toStdString();
}

} // namespace
