#include "processrunner.h"

#include "canceltoken.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <thread>

namespace {

ProcessRequest shell(const QString &script, int finishMs = 10000)
{
    ProcessRequest request;
    request.program = "/bin/sh";
    request.arguments = QStringList{"-c", script};
    request.startTimeoutMs = 5000;
    request.finishTimeoutMs = finishMs;
    return request;
}

// Running (a zombie that init has not reaped yet no longer runs).
bool alive(qint64 pid)
{
    QFile status(QString("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = status.readAll();
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

TEST(QProcessRunner, ReportsStatusOutputAndError)
{
    QProcessRunner runner;
    const ProcessOutcome ok = runner.run(shell("printf out; printf err >&2"));
    EXPECT_TRUE(ok.succeeded());
    EXPECT_EQ(ok.standardOutput, "out");
    EXPECT_EQ(ok.standardError, "err");

    const ProcessOutcome failed = runner.run(shell("echo nope >&2; exit 3"));
    EXPECT_FALSE(failed.succeeded());
    EXPECT_TRUE(failed.finished);
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.standardError, "nope\n");

    const ProcessOutcome crashed = runner.run(shell("kill -SEGV $$"));
    EXPECT_TRUE(crashed.crashed);
    EXPECT_FALSE(crashed.succeeded());

    ProcessRequest missing = shell("");
    missing.program = "/nonexistent/tool";
    const ProcessOutcome notStarted = runner.run(missing);
    EXPECT_FALSE(notStarted.started);
    EXPECT_FALSE(notStarted.succeeded());
}

TEST(QProcessRunner, EnvironmentReachesTheChild)
{
    QProcessRunner runner;
    ProcessRequest request = shell("printf %s \"$SSHPASS\"");
    request.environment.insert("SSHPASS", "p w");
    EXPECT_EQ(runner.run(request).standardOutput, "p w");
}

TEST(QProcessRunner, TimeoutKillsTheWholeGroup)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString pidFile = dir.filePath("grandchild.pid");
    QProcessRunner runner;
    QElapsedTimer timer;
    timer.start();
    // The grandchild would outlive a child that is killed alone.
    const ProcessOutcome outcome = runner.run(shell("sleep 60 & echo $! > " + pidFile + "; wait", 300));
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_TRUE(outcome.started);
    EXPECT_FALSE(outcome.finished);
    EXPECT_FALSE(outcome.succeeded());
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const qint64 grandchild = file.readAll().trimmed().toLongLong();
    for (int i = 0; i < 50 && alive(grandchild); ++i)
        QThread::msleep(20);
    EXPECT_FALSE(alive(grandchild));
}

TEST(QProcessRunner, WatchedProcessStreamsAndTerminates)
{
    QProcessRunner runner;
    auto process = runner.spawn(shell("printf first; sleep 0.2; printf second; sleep 60"));
    ASSERT_TRUE(process);
    QByteArray seen;
    for (int i = 0; i < 50 && !seen.contains("second"); ++i) {
        process->waitForFinished(100);
        seen += process->readStandardOutput();
    }
    EXPECT_EQ(seen, "firstsecond");
    process->terminate(500);
    EXPECT_TRUE(process->waitForFinished(0));
    EXPECT_TRUE(process->crashed() || process->exitCode() != 0);

    ProcessRequest missing = shell("");
    missing.program = "/nonexistent/tool";
    EXPECT_EQ(runner.spawn(missing), nullptr);
}

} // namespace

namespace {

TEST(QProcessRunner, ACancelEndsTheChildAndItsGroupAtOnce)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString pidFile = dir.filePath("grandchild.pid");
    QProcessRunner runner;
    CancelToken token;
    ProcessRequest request = shell("sleep 60 & echo $! > " + pidFile + "; wait", 60000);
    request.cancel = &token;
    std::thread canceller([&token] {
        QThread::msleep(300);
        token.cancel(CancelToken::Operator);
    });
    QElapsedTimer timer;
    timer.start();
    const ProcessOutcome outcome = runner.run(request);
    canceller.join();
    EXPECT_LT(timer.elapsed(), 2000) << "ended within a slice of the cancel";
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_FALSE(outcome.succeeded());
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const qint64 grandchild = file.readAll().trimmed().toLongLong();
    for (int i = 0; i < 50 && alive(grandchild); ++i)
        QThread::msleep(20);
    EXPECT_FALSE(alive(grandchild));

    // A request of a run already cancelled starts nothing.
    const ProcessOutcome later = runner.run(request);
    EXPECT_FALSE(later.started);
    EXPECT_TRUE(later.cancelled);
}

TEST(QProcessRunner, OutputBeyondTheLimitEndsTheChild)
{
    struct Case {
        const char *name;
        const char *script;
        bool overflowed;
    } cases[] = {
        {"endless output", "yes 0123456789abcdef", true},
        {"a burst and an exit", "head -c 3000000 /dev/zero; exit 0", true},
        {"stderr counts too", "head -c 3000000 /dev/zero >&2; sleep 30", true},
        {"within the limit", "head -c 1000 /dev/zero", false},
    };
    QProcessRunner runner;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProcessRequest request = shell(c.script, 30000);
        request.outputLimit = 1 << 20;
        QElapsedTimer timer;
        timer.start();
        const ProcessOutcome outcome = runner.run(request);
        EXPECT_LT(timer.elapsed(), 10000);
        EXPECT_EQ(outcome.overflowed, c.overflowed);
        EXPECT_EQ(outcome.succeeded(), !c.overflowed);
        if (c.overflowed) {
            EXPECT_TRUE(outcome.standardOutput.isEmpty()) << "nothing of an oversized answer is kept";
            EXPECT_TRUE(outcome.standardError.contains("more than 1048576 bytes"));
        }
    }
}

} // namespace

TEST(QProcessRunner, ALineSinkTakesOutputOfAnyLengthLineByLine)
{
    struct Case {
        const char *name;
        const char *script;
        qint64 lines;       // handed to the sink
        bool overflowed;
    } cases[] = {
        // 3 MiB of lines against a 1 MiB limit: the limit is not the total's.
        {"many lines beyond the output limit", "seq 1 400000", 400000, false},
        {"a last line without its newline", "printf 'a\\nb\\nlast'", 3, false},
        {"one line longer than the line limit", "head -c 200000 /dev/zero | tr '\\0' x; echo", 0, true},
        {"an endless line", "yes | tr -d '\\n'", 0, true},
    };
    QProcessRunner runner;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProcessRequest request = shell(c.script, 30000);
        request.outputLimit = 1 << 20;
        request.lineLimit = 64 * 1024;
        qint64 lines = 0;
        QByteArray last;
        request.lineSink = [&](const QByteArray &line) {
            ++lines;
            last = line;
        };
        const ProcessOutcome outcome = runner.run(request);
        EXPECT_EQ(outcome.overflowed, c.overflowed) << outcome.standardError.toStdString();
        EXPECT_TRUE(outcome.standardOutput.isEmpty()) << "lines handed over are not kept";
        if (!c.overflowed) {
            EXPECT_TRUE(outcome.succeeded());
            EXPECT_EQ(lines, c.lines);
            EXPECT_FALSE(last.contains('\n'));
        } else {
            EXPECT_TRUE(outcome.standardError.contains("line longer than")) << outcome.standardError.toStdString();
        }
    }
}
