// zfsrepctl's list, remove and the missing-mission exit status against a
// stand-in service on a temporary socket: the requests sent, the text
// printed and the exit status.
#include "fakeservice.h"
#include "rpctestkit.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace {

struct CtlRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs zfsrepctl with `input` on its standard input (a pipe, never a terminal).
CtlRun zfsrepctl(const QStringList &args, const QByteArray &input = QByteArray())
{
    QProcess process;
    process.start(QStringLiteral(ZFSREPCTL_PATH), args);
    process.write(input);
    process.closeWriteChannel();
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

QJsonObject listed(int msnno, const QString &caption)
{
    return QJsonObject{{"msnno", msnno}, {"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"host", "10.0.0.2"}, {"port", "22"}, {"userid", "replica"}, {"passwd", "secret"},
                       {"path", "backup"}, {"state", "armed"}, {"lastresult", "succeeded"}};
}

class CtlVerbs : public testing::Test
{
protected:
    void SetUp() override
    {
        path = dir.path();
        ASSERT_TRUE(runner.start(path));
        service.setListings({QJsonArray{listed(3, "Nightly")}});
    }
    QStringList with(const QStringList &args) const { return QStringList{"--socket", path} + args; }

    SocketDir dir;
    QString path;
    FakeService service;
    ServerThread runner{&service};
};

TEST_F(CtlVerbs, ListPrintsOneLinePerMission)
{
    const CtlRun run = zfsrepctl(with({"list"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << run.out.toStdString();
    EXPECT_TRUE(lines.at(0).startsWith("MSNNO  CAPTION  KIND  FROM"));
    EXPECT_TRUE(lines.at(1).startsWith("3      Nightly  send  tank/data  replica@10.0.0.2:22/backup  armed  -"))
        << lines.at(1).toStdString();
    EXPECT_TRUE(lines.at(1).endsWith("succeeded"));
    EXPECT_EQ(service.lastRequest(), (QJsonObject{{"cmd", "zfsrep_mission_alload"}}));
}

TEST_F(CtlVerbs, ListJsonIsTheAnswerAsItCameIntoAPipe)
{
    const CtlRun run = zfsrepctl(with({"list", "--json"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(run.out).object(),
              (QJsonObject{{"err", 0}, {"results", QJsonObject{{"records", QJsonArray{listed(3, "Nightly")}}}}}));
    EXPECT_EQ(zfsrepctl(with({"list", "extra"})).exitCode, 64);
}

TEST_F(CtlVerbs, RemoveWithYesSendsTheRemoval)
{
    const CtlRun run = zfsrepctl(with({"remove", "3", "--yes"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "mission 3 removed\n");
    EXPECT_EQ(service.lastRequest(),
              (QJsonObject{{"cmd", "zfsrep_mission_remove"}, {"params", QJsonObject{{"msnno", 3}}}}));

    const CtlRun json = zfsrepctl(with({"remove", "3", "--yes", "--json"}));
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(json.out).object(), (QJsonObject{{"err", 0}}));
}

TEST_F(CtlVerbs, RemoveOfAMissingMissionIsExitOne)
{
    const CtlRun run = zfsrepctl(with({"remove", "9", "--yes"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.startsWith("zfsrepctl: remove mission 9")) << run.err.toStdString();
}

TEST_F(CtlVerbs, RemoveWithoutATerminalNeedsYes)
{
    const CtlRun run = zfsrepctl(with({"remove", "3"}), "y\n");
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_EQ(run.err, "zfsrepctl: remove: not asking without a terminal; give --yes to remove mission 3\n");
    EXPECT_TRUE(service.lastRequest().isEmpty()) << "nothing was sent";
    EXPECT_EQ(zfsrepctl(with({"remove"})).exitCode, 64);
}

// zfsrepctl on a terminal (script(1) gives it one), `answer` typed.
CtlRun onTerminal(const QStringList &args, const QByteArray &answer)
{
    QStringList words{QStringLiteral(ZFSREPCTL_PATH)};
    words << args;
    QProcess process;
    process.start(QStringLiteral("script"), {"-qec", words.join(' '), "/dev/null"});
    process.write(answer);
    CtlRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    return run;
}

TEST_F(CtlVerbs, RemoveOnATerminalAsksFirst)
{
    const CtlRun no = onTerminal(with({"remove", "3"}), "n\n");
    EXPECT_EQ(no.exitCode, 1) << no.out.toStdString();
    EXPECT_TRUE(no.out.contains("Remove mission 3 (Nightly, send tank/data -> replica@10.0.0.2:22/backup) and its "
                                "run history? [y/N]"))
        << no.out.toStdString();
    EXPECT_TRUE(no.out.contains("mission 3 was not removed"));
    EXPECT_EQ(service.lastRequest(), (QJsonObject{{"cmd", "zfsrep_mission_alload"}})) << "nothing removed";

    const CtlRun yes = onTerminal(with({"remove", "3"}), "yes\n");
    EXPECT_EQ(yes.exitCode, 0) << yes.out.toStdString();
    EXPECT_TRUE(yes.out.contains("mission 3 removed"));
    EXPECT_EQ(service.lastRequest(),
              (QJsonObject{{"cmd", "zfsrep_mission_remove"}, {"params", QJsonObject{{"msnno", 3}}}}));

    const CtlRun missing = onTerminal(with({"remove", "8"}), "y\n");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.out.contains("remove: mission 8 does not exist")) << missing.out.toStdString();
}

TEST_F(CtlVerbs, HistoryOfAMissionThatDoesNotExistIsExitOne)
{
    // Mission 5 answers an empty history and is not listed.
    const CtlRun run = zfsrepctl(with({"history", "5"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
    EXPECT_EQ(run.err, "zfsrepctl: history: mission 5 does not exist\n");

    const CtlRun json = zfsrepctl(with({"history", "5", "--json"}));
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(json.out).object(), (QJsonObject{{"err", 0}, {"results", QJsonArray()}}));

    // Listed without runs: no runs, status 0.
    service.setListings({QJsonArray{listed(3, "Nightly"), listed(5, "Fresh")}});
    const CtlRun fresh = zfsrepctl(with({"history", "5"}));
    EXPECT_EQ(fresh.exitCode, 0) << fresh.err.toStdString();
    EXPECT_TRUE(fresh.out.endsWith("no runs\n")) << fresh.out.toStdString();
}

QJsonObject runRecord(qint64 runno, const QString &outcome, const QString &error = QString())
{
    QJsonObject run{{"runno", runno}, {"msnno", 3}, {"caption", "Nightly"}, {"action", 1}, {"kind", "incremental"},
                    {"started", 1796676060}, {"ended", outcome == "running" ? 0 : 1796676065},
                    {"outcome", outcome}, {"error", error}, {"bytes", 1024}, {"rate", 204}};
    return run;
}

TEST_F(CtlVerbs, RunWaitFollowsTheNewRunToItsOutcome)
{
    const struct {
        const char *name;
        QString outcome;
        QString error;
        int exitCode;
        const char *line;
    } cases[] = {
        {"succeeded", "succeeded", "", 0, "mission 3 run 13 succeeded after 5s, 1.0 KiB\n"},
        {"failed", "failed", "cannot receive: failed to read from stream\nmore", 1,
         "mission 3 run 13 failed after 5s: cannot receive: failed to read from stream\n"},
        {"cancelled", "cancelled", "", 3, "mission 3 run 13 cancelled after 5s\n"},
        {"interrupted", "interrupted", "", 3, "mission 3 run 13 interrupted after 5s\n"},
        {"stalled", "stalled", "", 1, "mission 3 run 13 stalled after 5s\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject old = runRecord(12, "succeeded");
        // Before the request; not yet begun; running; ended.
        service.setHistories({QJsonArray{old}, QJsonArray{old}, QJsonArray{runRecord(13, "running"), old},
                              QJsonArray{runRecord(13, c.outcome, c.error), old}});
        const CtlRun run = zfsrepctl(with({"run", "3", "--wait"}));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        EXPECT_EQ(run.out.toStdString(), c.line) << "only the outcome line when no terminal";
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }
}

TEST_F(CtlVerbs, RunWaitFollowsTheRunNumberTheServiceAnswered)
{
    // Run 13 is not the one asked for: the answer names 14.
    service.setRunAnswer(14);
    const QJsonObject old = runRecord(12, "succeeded");
    const QJsonObject other = runRecord(13, "failed", "not this one");
    service.setHistories({QJsonArray{old}, QJsonArray{other, old}, QJsonArray{runRecord(14, "running"), other, old},
                          QJsonArray{runRecord(14, "succeeded"), other, old}});
    const CtlRun run = zfsrepctl(with({"run", "3", "--wait"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.toStdString(), "mission 3 run 14 succeeded after 5s, 1.0 KiB\n");
}

TEST_F(CtlVerbs, WatchUntilFinishedFollowsTheRunRecordedAsGoing)
{
    // The listing does not show the run yet (the scheduler has not picked
    // it up); the history has it recorded as going.
    QJsonObject waiting = listed(3, "Nightly");
    waiting.insert("lastresult", "succeeded");
    service.setListings({QJsonArray{waiting}});
    const QJsonObject old = runRecord(12, "succeeded");
    service.setHistories({QJsonArray{runRecord(13, "running"), old}, QJsonArray{runRecord(13, "running"), old},
                          QJsonArray{runRecord(13, "cancelled"), old}});
    const CtlRun run = zfsrepctl(with({"watch", "--until-finished", "3", "--interval", "1"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: mission 3 cancelled\n");
}

TEST_F(CtlVerbs, RunWaitJsonPrintsTheFinishedRun)
{
    const QJsonObject old = runRecord(12, "failed");
    service.setHistories({QJsonArray{old}, QJsonArray{runRecord(13, "succeeded"), old}});
    const CtlRun run = zfsrepctl(with({"run", "--json", "3", "--wait"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(run.out).object(),
              (QJsonObject{{"err", 0}, {"results", runRecord(13, "succeeded")}}));
}

TEST_F(CtlVerbs, RunWaitOfARefusedRunIsExitOne)
{
    const CtlRun run = zfsrepctl(with({"run", "5", "--wait"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: run mission 5: mission 5 or another mission is running now; try again when it "
                       "has ended (err 9992)\n");
    EXPECT_EQ(zfsrepctl(with({"cancel", "3", "--wait"})).exitCode, 64) << "--wait belongs to run";
}

TEST_F(CtlVerbs, WatchUntilFinishedStartedDuringARunEndsWithThatRun)
{
    // The run going on keeps its start as "lastrun" when it ends.
    QJsonObject running = listed(3, "Nightly");
    running.insert("state", "running");
    running.insert("lastrun", 1796676060);
    running.insert("lastresult", "running");
    running.insert("rate", 40);
    QJsonObject ended = running;
    ended.remove("rate");
    ended.insert("state", "failed");
    ended.insert("lastresult", "cancelled");
    service.setListings({QJsonArray{running}, QJsonArray{running}, QJsonArray{ended}});
    const CtlRun run = zfsrepctl(with({"watch", "--until-finished", "3", "--interval", "1"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: mission 3 cancelled\n");
}

TEST_F(CtlVerbs, WatchUntilFinishedWithNoRunGoingReturnsTheLastOutcomeAtOnce)
{
    const struct {
        const char *name;
        QJsonObject extra;
        int exitCode;
        const char *err;
    } cases[] = {
        {"succeeded", {{"lastresult", "succeeded"}, {"nextrun", qint64(4102444800)}}, 0, ""},
        {"failed", {{"lastresult", "failed"}, {"lasterror", "Permission denied\nmore"}, {"state", "failed"}}, 1,
         "zfsrepctl: mission 3 failed: Permission denied\n"},
        {"never ran", {{"state", "pending"}}, 1, "zfsrepctl: mission 3 has no run going and has not run yet\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QJsonObject m = listed(3, "Nightly");
        m.remove("lastresult");
        for (auto it = c.extra.begin(); it != c.extra.end(); ++it)
            m.insert(it.key(), it.value());
        service.setListings({QJsonArray{m}});
        QElapsedTimer timer;
        timer.start();
        const CtlRun run = zfsrepctl(with({"watch", "--until-finished", "3", "--interval", "5"}));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        EXPECT_EQ(run.err.toStdString(), c.err);
        EXPECT_LT(timer.elapsed(), 4000) << "no second listing was waited for";
    }
}

TEST_F(CtlVerbs, CheckPrintsOneLinePerCheckAndExitsOneOnAFailure)
{
    CtlRun run = zfsrepctl(with({"check", "3"}));
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_EQ(run.out.toStdString(), "ok    local dataset  tank/data exists with 2 snapshots\n"
                                     "FAIL  login          on 10.0.0.2 as replica: Permission denied, please try again.\n");
    EXPECT_EQ(service.lastRequest(),
              (QJsonObject{{"cmd", "zfsrep_mission_check"}, {"params", QJsonObject{{"msnno", 3}}}}));
    run = zfsrepctl(with({"check", "9"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: check mission 9: mission 9 does not exist (err 9994)\n");
    EXPECT_EQ(zfsrepctl(with({"check"})).exitCode, 64);
    EXPECT_EQ(zfsrepctl(with({"check", "3", "4"})).exitCode, 64);
}

TEST_F(CtlVerbs, RestoreIntoAnExistingDatasetNeedsReplace)
{
    const QStringList restore{"add", "--caption", "back", "--restore", "/tarn/exports/tank/data@a.gz.zsa", "--into"};
    CtlRun run = zfsrepctl(with(restore + QStringList{"tank/data"}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zfsrepctl: add: tank/data exists and a restore would replace it; give --replace to allow "
                       "that\n");
    EXPECT_EQ(service.lastRequest(), (QJsonObject{{"cmd", "zfsrep_alload"}})) << "nothing was appended";

    run = zfsrepctl(with(restore + QStringList{"tank/data", "--replace"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(service.lastRequest().value("cmd").toString(), "zfsrep_mission_append");
    EXPECT_EQ(run.out, "mission 8 added (back)\n");

    run = zfsrepctl(with(restore + QStringList{"tank/new"}));
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(service.lastRequest().value("cmd").toString(), "zfsrep_mission_append");

    EXPECT_EQ(zfsrepctl(with({"add", "--caption", "x", "--export", "tank/data", "--dir", "/e", "--replace"})).exitCode,
              64)
        << "--replace belongs to --restore";
}

} // namespace
