// The notice sender on its own thread: the command form gets the JSON on its
// standard input and the ZFSREP_* variables, a delivered notice is reported,
// a failing command is not, send() never waits for a receiver, the periodic
// task runs; and the real runner hands the input to the child.
#include "fakerunner.h"
#include "noticesender.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

#include <atomic>
#include <mutex>

namespace {

bool eventually(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

Notice failureNotice(qint64 runno)
{
    Notice notice;
    notice.notice = "failure";
    notice.msnno = 4;
    notice.caption = "Nightly";
    notice.kind = "send";
    notice.outcome = "failed";
    notice.error = "no route to host";
    notice.runno = runno;
    return notice;
}

struct Delivered {
    std::mutex lock;
    QList<qint64> runs;
    void add(const Notice &notice)
    {
        std::lock_guard<std::mutex> guard(lock);
        runs.append(notice.runno);
    }
    int count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return runs.size();
    }
};

NoticeSettings commandSettings()
{
    NoticeSettings settings;
    settings.command = QStringList{"/usr/local/bin/page", "--team", "storage"};
    settings.on = QStringList{"failure"};
    return settings;
}

TEST(NoticeSender, CommandGetsJsonOnInputAndVariables)
{
    FakeRunner runner;
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    sender.configure(commandSettings());
    Delivered delivered;
    sender.setDelivered([&](const Notice &notice) { delivered.add(notice); });
    sender.start();
    ASSERT_TRUE(sender.send(failureNotice(11)));
    ASSERT_TRUE(eventually([&] { return delivered.count() == 1; }));
    sender.stop();
    const QList<ProcessRequest> runs = runner.runs();
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(FakeRunner::commandLine(runs.at(0)), "/usr/local/bin/page --team storage");
    const QJsonObject body = QJsonDocument::fromJson(runs.at(0).input).object();
    EXPECT_EQ(body.value("notice").toString(), "failure");
    EXPECT_EQ(body.value("runno").toInt(), 11);
    EXPECT_EQ(body.value("error").toString(), "no route to host");
    EXPECT_EQ(runs.at(0).environment.value("ZFSREP_NOTICE"), "failure");
    EXPECT_EQ(runs.at(0).environment.value("ZFSREP_MISSION"), "4");
    EXPECT_EQ(runs.at(0).environment.value("ZFSREP_CAPTION"), "Nightly");
    EXPECT_NE(runs.at(0).cancel, nullptr) << "a stop ends the command";
    EXPECT_GT(runs.at(0).finishTimeoutMs, 0);
}

TEST(NoticeSender, FailingCommandIsNotReportedDeliveredNorRetried)
{
    FakeRunner runner;
    runner.respond("/usr/local/bin/page", 1, "", "mail server down\n");
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    sender.configure(commandSettings());
    Delivered delivered;
    sender.setDelivered([&](const Notice &notice) { delivered.add(notice); });
    sender.start();
    sender.send(failureNotice(1));
    sender.send(failureNotice(2));
    ASSERT_TRUE(eventually([&] { return sender.pending() == 0; }));
    sender.stop();
    EXPECT_EQ(delivered.count(), 0);
    EXPECT_EQ(runner.runs().size(), 2) << "one try per notice";
}

TEST(NoticeSender, NothingConfiguredQueuesNothing)
{
    FakeRunner runner;
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    EXPECT_FALSE(sender.send(failureNotice(1)));
    EXPECT_EQ(sender.pending(), 0);
}

TEST(NoticeSender, QueueIsBoundedDroppingTheOldest)
{
    FakeRunner runner;
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    sender.configure(commandSettings());
    // Not started: everything waits in the queue.
    for (int i = 1; i <= NoticeSender::kQueueLimit + 5; ++i)
        EXPECT_TRUE(sender.send(failureNotice(i)));
    EXPECT_EQ(sender.pending(), NoticeSender::kQueueLimit);
    Delivered delivered;
    sender.setDelivered([&](const Notice &notice) { delivered.add(notice); });
    sender.start();
    ASSERT_TRUE(eventually([&] { return delivered.count() == NoticeSender::kQueueLimit; }));
    sender.stop();
    std::lock_guard<std::mutex> guard(delivered.lock);
    EXPECT_EQ(delivered.runs.first(), 6) << "the five oldest were dropped";
    EXPECT_EQ(delivered.runs.last(), NoticeSender::kQueueLimit + 5);
}

TEST(NoticeSender, PeriodicTaskRunsOnTheThread)
{
    FakeRunner runner;
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    sender.configure(commandSettings());
    std::atomic<int> calls{0};
    sender.setPeriodic([&] { ++calls; }, 20);
    sender.start();
    EXPECT_TRUE(eventually([&] { return calls.load() >= 3; }));
    sender.stop();
}

TEST(NoticeSender, StopEndsAHangingCommand)
{
    QProcessRunner runner;
    NoticeSender sender([&runner]() -> ProcessRunner & { return runner; });
    NoticeSettings settings;
    settings.command = QStringList{"/bin/sleep", "30"};
    settings.on = QStringList{"failure"};
    sender.configure(settings);
    sender.start();
    sender.send(failureNotice(1));
    ASSERT_TRUE(eventually([&] { return sender.pending() == 1; }));
    QThread::msleep(200);
    QElapsedTimer clock;
    clock.start();
    sender.stop();
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(QProcessRunnerInput, InputReachesTheChildsStandardInput)
{
    QProcessRunner runner;
    ProcessRequest request;
    request.program = "/bin/cat";
    request.input = QByteArray("{\"notice\":\"failure\"}\n");
    const ProcessOutcome outcome = runner.run(request);
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_EQ(outcome.standardOutput, request.input);
}

} // namespace
