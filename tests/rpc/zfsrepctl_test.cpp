#include "fakeservice.h"
#include "rpctestkit.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <csignal>

namespace {

struct CtlRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CtlRun zfsrepctl(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(ZFSREPCTL_PATH), args);
    CtlRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

TEST(Zfsrepctl, ExitStatusFollowsTheAnswer)
{
    SocketDir dir;
    const QString path = dir.path();
    TestRouter router;
    ServerThread runner(&router);
    ASSERT_TRUE(runner.start(path));

    CtlRun ok = zfsrepctl({"--socket", path, "echo", "n=5", "name=tank/data"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err.toStdString();
    const QJsonObject answer = QJsonDocument::fromJson(ok.out).object();
    EXPECT_EQ(answer.value("results").toObject(), (QJsonObject{{"n", 5}, {"name", "tank/data"}}));
    EXPECT_TRUE(ok.out.contains("\n    \"results\"")) << "indented output";

    CtlRun failed = zfsrepctl({"--socket", path, "fail"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(failed.out).object().value("err").toInt(), 9995);

    CtlRun missing = zfsrepctl({"--socket", path, "nosuch"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(missing.out).object().value("err").toInt(), 9885);

    CtlRun silent = zfsrepctl({"--socket", path, "--timeout", "1", "slow", "ms=3000"});
    EXPECT_EQ(silent.exitCode, 2);

    CtlRun usage = zfsrepctl({"--socket", path, "echo", "novalue"});
    EXPECT_EQ(usage.exitCode, 64);
}

TEST(Zfsrepctl, UnreachableServiceIsExitTwoNamingTheSocket)
{
    SocketDir dir;
    const QString path = dir.path("nobody.sock");
    CtlRun run = zfsrepctl({"--socket", path, "help_interfaces"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.contains(path.toUtf8())) << run.err.toStdString();
}


// A running send mission as a service with the new fields lists it.
QJsonObject mission(int msnno, const QString &caption, const QJsonObject &extra = QJsonObject())
{
    QJsonObject m{{"msnno", msnno}, {"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                  {"host", "10.0.0.2"}, {"port", 22}, {"path", "backup/of/a/rather/long/remote/parent"},
                  {"done", 0}, {"finishedtime", "2026-12-07 20:41:00"}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        m.insert(it.key(), it.value());
    return m;
}

class ZfsrepctlService : public testing::Test
{
protected:
    void SetUp() override
    {
        path = dir.path();
        ASSERT_TRUE(runner.start(path));
    }
    QStringList with(const QStringList &args) const { return QStringList{"--socket", path} + args; }

    SocketDir dir;
    QString path;
    FakeService service;
    ServerThread runner{&service};
};

TEST_F(ZfsrepctlService, SubcommandsSendTheExactRequest)
{
    const struct {
        const char *name;
        QStringList args;
        QJsonObject request;
    } cases[] = {
        {"run", {"run", "3"}, {{"cmd", "zfsrep_mission_run"}, {"params", QJsonObject{{"msnno", 3}}}}},
        {"cancel", {"cancel", "3"}, {{"cmd", "zfsrep_mission_cancel"}, {"params", QJsonObject{{"msnno", 3}}}}},
        {"history", {"history", "3", "--limit", "5"},
         {{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", 3}, {"limit", 5}}}}},
        {"history default", {"history", "3"},
         {{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", 3}, {"limit", 20}}}}},
        {"metrics", {"metrics"}, {{"cmd", "zfsrep_metrics"}, {"params", QJsonObject()}}},
        {"watch", {"watch", "--once"}, {{"cmd", "zfsrep_mission_alload"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CtlRun run = zfsrepctl(with(c.args));
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(service.lastRequest(), c.request);
    }
}

TEST_F(ZfsrepctlService, SubcommandsPrintWhatHappened)
{
    CtlRun run = zfsrepctl(with({"run", "3"}));
    EXPECT_EQ(run.out, "mission 3 started\n");
    run = zfsrepctl(with({"cancel", "3"}));
    EXPECT_EQ(run.out, "mission 3: its transfer was asked to end\n");
    run = zfsrepctl(with({"metrics"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(QString::fromUtf8(run.out), FakeService::metrics());
    run = zfsrepctl(with({"history", "3"}));
    EXPECT_EQ(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    EXPECT_TRUE(lines.at(0).startsWith("RUN  STARTED"));
    EXPECT_TRUE(lines.at(1).contains("  incremental  failed  ")) << lines.at(1).toStdString();
    EXPECT_TRUE(lines.at(1).endsWith("ZFSREP-1 -> ZFSREP-2"));
    EXPECT_EQ(lines.at(2), "    error: cannot open 'nopool/data': dataset does not exist");
    EXPECT_EQ(lines.at(3), "           second line");
}

TEST_F(ZfsrepctlService, RefusalIsExitOneWithAnEnglishReason)
{
    const struct {
        const char *name;
        QStringList args;
        const char *message;
    } cases[] = {
        {"run busy", {"run", "5"},
         "run mission 5: mission 5 or another mission is running now; try again when it has ended (err 9992)"},
        {"cancel idle", {"cancel", "4"}, "cancel mission 4: mission 4 is not running (err 9985)"},
        {"history unknown", {"history", "9"}, "history mission 9: mission 9 does not exist (err 9994)"},
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CtlRun run = zfsrepctl(with(c.args), env);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
        EXPECT_EQ(QString::fromUtf8(run.err), QStringLiteral("zfsrepctl: ") + QString::fromUtf8(c.message) + '\n');
    }
    // --raw: the service's answer exactly as it came, its own message included.
    const CtlRun raw = zfsrepctl(with({"run", "5", "--raw"}), env);
    EXPECT_EQ(raw.exitCode, 1);
    EXPECT_TRUE(raw.err.isEmpty()) << raw.err.toStdString();
    const QJsonObject answer = QJsonDocument::fromJson(raw.out).object();
    EXPECT_EQ(answer.value("err").toInt(), 9992) << raw.out.toStdString();
    EXPECT_EQ(answer.value("errmsg").toString(), QString::fromUtf8("任务正在运行: mission 7 is transferring"));
    const QJsonObject before = service.lastRequest();
    const CtlRun usage = zfsrepctl(with({"run", "three"}));
    EXPECT_EQ(usage.exitCode, 64);
    EXPECT_EQ(service.lastRequest(), before) << "nothing is sent for a bad command line";
}

TEST_F(ZfsrepctlService, JsonPrintsTheAnswerAsItCame)
{
    service.setListings({QJsonArray{mission(3, "Nightly", {{"state", "armed"}})}});
    const struct {
        const char *name;
        QStringList args;
        int exitCode;
        QJsonObject answer;
    } cases[] = {
        {"run", {"run", "3", "--json"}, 0, {{"err", 0}}},
        {"run refused", {"run", "--json", "5"}, 1,
         {{"err", 9992}, {"errmsg", QString::fromUtf8("任务正在运行: mission 7 is transferring")}}},
        {"cancel", {"cancel", "3", "--json"}, 0, {{"err", 0}}},
        {"history", {"history", "3", "--json"}, 0, {{"err", 0}, {"results", FakeService::history()}}},
        {"metrics", {"metrics", "--json"}, 0, {{"err", 0}, {"results", QJsonObject{{"text", FakeService::metrics()}}}}},
        {"watch", {"watch", "--once", "--json"}, 0,
         {{"err", 0}, {"results", QJsonObject{{"records", QJsonArray{mission(3, "Nightly", {{"state", "armed"}})}}}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CtlRun run = zfsrepctl(with(c.args));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(run.out, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out.toStdString();
        EXPECT_EQ(doc.object(), c.answer) << run.out.toStdString();
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }
}

TEST_F(ZfsrepctlService, RemoteTextNeverDrivesTheTerminal)
{
    // What a hostile backup host could make its zfs print: a title change,
    // clear screen, colours, a clipboard write (OSC 52), and the C1 forms.
    const QString hostile = QString("cannot list: \x1b]0;owned\x07\x1b[2J\x1b[H\x1b[31mred\x1b[0m "
                                    "\x1b]52;c;cm0gLXJmIH4K\x07 ")
                            + QChar(0x9B) + "2J" + QChar(0x9D) + "0;t" + QChar(0x9C) + "\x7f end";
    QJsonObject failed = mission(3, "Nightly", {{"state", "failed"}, {"lastrun", 1796676060}, {"lastresult", "failed"},
                                                {"lasterror", hostile}, {"nextrun", 0}, {"passwd", "s3cret"}});
    service.setListings({QJsonArray{failed}});
    QJsonArray runs = FakeService::history();
    QJsonObject run = runs.at(0).toObject();
    run.insert("error", hostile);
    runs[0] = run;
    service.setHistory(runs);

    const struct {
        const char *name;
        QStringList args;
        bool json;
    } cases[] = {
        {"history", {"history", "3"}, false},
        {"history --json", {"history", "3", "--json"}, true},
        {"watch", {"watch", "--once", "--width", "300"}, false},
        {"watch --json", {"watch", "--once", "--json"}, true},
        {"show", {"show", "3"}, false},
        {"show --json", {"show", "3", "--json"}, true},
        {"listing", {"zfsrep_mission_alload"}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CtlRun printed = zfsrepctl(with(c.args));
        EXPECT_EQ(printed.exitCode, 0) << printed.err.toStdString();
        const QByteArray both = printed.out + printed.err;
        for (const char *sequence : {"\x1b", "\x07", "\x7f", "\xc2\x9b", "\xc2\x9c", "\xc2\x9d"})
            EXPECT_FALSE(both.contains(sequence)) << "raw control byte in: " << printed.out.toStdString();
        EXPECT_TRUE(both.contains("red")) << printed.out.toStdString();
        if (c.json) {
            // Escaped, the JSON still carries the same text.
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(printed.out, &error);
            ASSERT_EQ(error.error, QJsonParseError::NoError) << printed.out.toStdString();
            EXPECT_TRUE(printed.out.contains("\\u001b]52;c;")) << printed.out.toStdString();
            EXPECT_TRUE(printed.out.contains("\\u009b2J")) << printed.out.toStdString();
            EXPECT_TRUE(QString::fromUtf8(printed.out).contains("\\u007f end")) << printed.out.toStdString();
        } else {
            EXPECT_TRUE(printed.out.contains("\\x1b]0;owned\\x07")) << printed.out.toStdString();
        }
    }
    // The listing through a pipe keeps the stored password (scripts read
    // it); --raw prints every byte as it came.
    const CtlRun raw = zfsrepctl(with({"zfsrep_mission_alload", "--raw"}));
    EXPECT_TRUE(raw.out.contains("\xc2\x9b" "2J")) << raw.out.toStdString();
    EXPECT_TRUE(raw.out.contains("s3cret"));
    const CtlRun shown = zfsrepctl(with({"show", "3", "--json"}));
    EXPECT_FALSE(shown.out.contains("s3cret")) << "masked in a subcommand's --json, into a pipe too";
    const CtlRun shownRaw = zfsrepctl(with({"show", "3", "--raw"}));
    EXPECT_TRUE(shownRaw.out.contains("s3cret"));
}

TEST_F(ZfsrepctlService, WatchShowsAFailedRunAndFitsTheWidth)
{
    const QJsonObject failed = mission(3, "Nightly", {{"state", "failed"}, {"lastrun", 1796676060}, {"lastresult", "failed"},
                                                      {"lasterror", "Permission denied\nlost connection"}, {"nextrun", 0}});
    const QJsonObject running = mission(4, "Hourly", {{"state", "running"}, {"rate", 40}, {"speed", "9.5MiB/s"},
                                                      {"bytes", 4096}, {"total", 10240}, {"eta", 7}});
    service.setListings({QJsonArray{failed, running}});
    const struct {
        const char *name;
        QStringList args;
        const char *columns;
        int width;
    } cases[] = {
        {"COLUMNS", {"watch", "--once"}, "40", 40},
        {"--width over COLUMNS", {"watch", "--once", "--width", "64"}, "40", 64},
        {"fallback", {"watch", "--once"}, "", 100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("COLUMNS", c.columns);
        const CtlRun run = zfsrepctl(with(c.args), env);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
        for (const QString &line : lines)
            EXPECT_LE(line.size(), c.width) << line.toStdString();
        // The running mission comes first; the route keeps dataset and host.
        EXPECT_TRUE(lines.at(0).startsWith("#4 Hourly  send  tank/data -> 10.0.0.")) << lines.at(0).toStdString();
        EXPECT_TRUE(lines.at(1).contains(" 40%  4.0 KiB of 10.0 KiB")) << lines.at(1).toStdString();
        EXPECT_TRUE(lines.at(2).startsWith("#3 Nightly  send  tank/data -> 10.0.0.")) << lines.at(2).toStdString();
        EXPECT_TRUE(lines.at(3).startsWith("    error: Permission de")) << lines.at(3).toStdString();
        EXPECT_FALSE(lines.at(3).contains("lost connection"));
        if (c.width >= 64) {
            EXPECT_TRUE(lines.at(0).contains("  running")) << lines.at(0).toStdString();
            EXPECT_TRUE(lines.at(2).contains("  failed")) << lines.at(2).toStdString();
            EXPECT_TRUE(lines.at(1).endsWith("]  40%  4.0 KiB of 10.0 KiB  9.5MiB/s  ETA 7s")) << lines.at(1).toStdString();
        }
    }
}

TEST_F(ZfsrepctlService, WatchUntilFinishedFollowsTheOutcome)
{
    const struct {
        const char *name;
        QJsonObject ended;
        int exitCode;
        const char *message;
    } cases[] = {
        {"succeeded", {{"state", "armed"}, {"lastrun", 1796676200}, {"lastresult", "succeeded"}, {"lasterror", ""}}, 0, ""},
        {"failed", {{"state", "failed"}, {"lastrun", 1796676200}, {"lastresult", "failed"},
                    {"lasterror", "gzip: stdout: No space left on device\nmore"}}, 1,
         "zfsrepctl: mission 3 failed: gzip: stdout: No space left on device\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Asked to run: due now, not yet picked up.
        const QJsonObject before = mission(3, "Nightly", {{"state", "armed"}, {"lastrun", 1796676060},
                                                          {"lastresult", "succeeded"}, {"lasterror", ""},
                                                          {"nextrun", QDateTime::currentSecsSinceEpoch()}});
        const QJsonObject during = mission(3, "Nightly", {{"state", "running"}, {"lastrun", 1796676060}, {"rate", 50},
                                                          {"speed", "1MiB/s"}});
        service.setListings({QJsonArray{before}, QJsonArray{during}, QJsonArray{mission(3, "Nightly", c.ended)}});
        const CtlRun run = zfsrepctl(with({"watch", "--interval", "1", "--until-finished", "3"}));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        EXPECT_EQ(run.err.toStdString(), c.message);
    }
}

TEST_F(ZfsrepctlService, OlderServiceAnswersStillWork)
{
    // No state, run times, error or byte counts: a listing as older versions send it.
    const QJsonObject old{{"msnno", 2}, {"caption", "Restore"}, {"action", 4}, {"pool", "tank"}, {"name", "copy"},
                          {"path", "/backup/tank/data@x.gz.zsa"}, {"done", 1}, {"finishedtime", "2026-12-07 20:41:00"}};
    const QJsonObject running{{"msnno", 5}, {"caption", "Push"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                              {"host", "h"}, {"port", "22"}, {"path", "b"}, {"done", 0}, {"finishedtime", ""},
                              {"rate", 7}, {"speed", "3MiB/s"}};
    service.setListings({QJsonArray{old, running}});
    const CtlRun run = zfsrepctl(with({"watch", "--once", "--width", "100"}));
    EXPECT_EQ(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << run.out.toStdString();
    // The running mission first.
    EXPECT_EQ(lines.at(0), "#5 Push  send  tank/data -> h:22/b  running");
    EXPECT_TRUE(lines.at(1).endsWith("]   7%  3MiB/s")) << lines.at(1).toStdString();
    EXPECT_EQ(lines.at(2), "#2 Restore  restore  /backup/tank/data@x.gz.zsa -> tank/copy  done  last run 2026-12-07 20:41:00");
}

TEST(Zfsrepctl, ServiceWithoutTheNewMethodsIsNamedAsSuch)
{
    SocketDir dir;
    const QString path = dir.path();
    TestRouter router;
    ServerThread runner(&router);
    ASSERT_TRUE(runner.start(path));
    const CtlRun run = zfsrepctl({"--socket", path, "run", "3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: run mission 3: this zfsrep service has no method zfsrep_mission_run "
                       "(an older version?) (err 9885)\n");
}

// Starts `zfsrepctl watch` and waits (bounded) for its first view.
bool startWatch(QProcess &process, const QString &path)
{
    process.start(QStringLiteral(ZFSREPCTL_PATH), {"--socket", path, "watch", "--interval", "1"});
    if (!process.waitForStarted(10000))
        return false;
    for (int i = 0; i < 100 && process.bytesAvailable() == 0; ++i)
        process.waitForReadyRead(100);
    return process.bytesAvailable() > 0;
}

CtlRun finish(QProcess &process)
{
    CtlRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

TEST_F(ZfsrepctlService, WatchEndsQuietlyOnInterrupt)
{
    service.setListings({QJsonArray{mission(3, "Nightly")}});
    QProcess process;
    ASSERT_TRUE(startWatch(process, path));
    ASSERT_EQ(::kill(pid_t(process.processId()), SIGINT), 0);
    const CtlRun run = finish(process);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
}

TEST_F(ZfsrepctlService, WatchEndsQuietlyWhenTheServiceGoesAway)
{
    service.setListings({QJsonArray{mission(3, "Nightly")}});
    QProcess process;
    ASSERT_TRUE(startWatch(process, path));
    runner.stop();
    const CtlRun run = finish(process);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.err.startsWith("zfsrepctl: the zfsrep service went away")) << run.err.toStdString();
    EXPECT_EQ(run.err.count('\n'), 1) << "one line, not one per attempt";
}

// What the completion function offers for a command line that ends in `words`.
QString complete(const QStringList &words, const QString &socketPath)
{
    const QString script = QStringLiteral(
        "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
        "_zfsrepctl; printf '%s\\n' \"${COMPREPLY[@]}\" | sort");
    QProcess bash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", QFileInfo(QStringLiteral(ZFSREPCTL_PATH)).absolutePath() + ':' + env.value("PATH"));
    bash.setProcessEnvironment(env);
    QStringList args{"-c", script, "bash", QStringLiteral(ZFSREP_SOURCE_DIR "/packaging/bash-completion/zfsrepctl")};
    for (const QString &word : words)
        args.append(QString(word).replace("SOCKET", socketPath));
    bash.start("bash", args);
    if (!bash.waitForFinished(30000)) {
        bash.kill();
        bash.waitForFinished();
        return QStringLiteral("(bash did not finish)");
    }
    return QString::fromUtf8(bash.readAllStandardOutput()).trimmed().replace('\n', ' ');
}

TEST_F(ZfsrepctlService, BashCompletionOffersSubcommandsOptionsAndMissions)
{
    service.setListings({QJsonArray{mission(3, "Nightly"), mission(17, "Weekly")}});
    const struct {
        const char *name;
        QStringList words;
        const char *offered;
    } cases[] = {
        {"subcommand", {"zfsrepctl", "hi"}, "history"},
        {"method", {"zfsrepctl", "zfsrep_mission_r"}, "zfsrep_mission_remove zfsrep_mission_run"},
        {"global option", {"zfsrepctl", "--t"}, "--timeout"},
        {"history option", {"zfsrepctl", "history", "3", "--l"}, "--limit"},
        {"watch option", {"zfsrepctl", "watch", "--u"}, "--until-finished"},
        {"missions from the service", {"zfsrepctl", "--socket", "SOCKET", "run", ""}, "17 3"},
        {"missions after --until-finished", {"zfsrepctl", "--socket", "SOCKET", "watch", "--until-finished", "1"}, "17"},
        {"add kind", {"zfsrepctl", "add", "--caption", "x", "--ex"}, "--export"},
        {"password from a descriptor", {"zfsrepctl", "add", "--pass"}, "--password-fd"},
        {"missions to edit", {"zfsrepctl", "--socket", "SOCKET", "edit", "1"}, "17"},
        {"edit flags", {"zfsrepctl", "edit", "3", "--sch"}, "--schedule"},
        {"schedule parts", {"zfsrepctl", "add", "--schedule", "h"}, "hours="},
        {"missions to show", {"zfsrepctl", "--socket", "SOCKET", "show", ""}, "17 3"},
        {"hostkey action", {"zfsrepctl", "hostkey", ""}, "forget"},
        {"hostkey method", {"zfsrepctl", "zfsrep_host"}, "zfsrep_hostkey_forget"},
        {"status subcommand", {"zfsrepctl", "stat"}, "status"},
        {"status option", {"zfsrepctl", "status", "--j"}, "--json"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(complete(c.words, path).toStdString(), c.offered);
    }
}

} // namespace
