#include "scheduler.h"

#include "duetable.h"
#include "missionbook.h"
#include "missionvalidator.h"
#include "run.h"
#include "runexecutor.h"
#include "runhistory.h"
#include "runverdict.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

#include <QThread>

#include <exception>
#include <thread>

namespace {

// How long past the minute's end a nap that waits for it lasts: the clock
// then reads the new minute.
constexpr int kPastMinuteMs = 5;

} // namespace

Scheduler::Scheduler(MissionBook &missionBook, DueTable &dueTable, RunHistory &runHistory, RunExecutor &runExecutor,
                     std::function<QDateTime()> clockFunction, AfterRun afterEachRun)
    : book(missionBook), due(dueTable), history(runHistory), executor(runExecutor), clock(std::move(clockFunction)),
      afterRun(std::move(afterEachRun))
{
}

Scheduler::~Scheduler()
{
    // A running transfer is cancelled so the thread ends in bounded time.
    while (running.load()) {
        stopping = true;
        cancelCurrent();
        QThread::msleep(50);
    }
}

void Scheduler::start()
{
    bool expected = false;
    if (!running.compare_exchange_strong(expected, true))
        return;
    stopping = false;
    // The marker is taken before the thread starts, so a minute that changes
    // while the thread comes up still counts as a change.
    due.setMinuteMarker(clock().time().minute());
    std::thread(&Scheduler::loop, this).detach();
}

bool Scheduler::shutdown(int timeoutMs)
{
    stopping = true;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        if (currentRun)
            currentRun->cancel(CancelToken::Stopping);
    }
    for (int waited = 0; running.load(); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

std::shared_ptr<Run> Scheduler::current() const
{
    std::lock_guard<std::mutex> guard(currentLock);
    return currentRun;
}

void Scheduler::cancelCurrent()
{
    if (const std::shared_ptr<Run> run = current())
        run->cancel(stopping.load() ? CancelToken::Stopping : CancelToken::Operator);
}

QJsonObject Scheduler::progress() const
{
    const std::shared_ptr<Run> run = current();
    return run ? run->progress().toJson() : QJsonObject();
}

RunRecord Scheduler::runningRecord() const
{
    const std::shared_ptr<Run> run = current();
    return run ? run->record() : RunRecord();
}

qint64 Scheduler::heartbeat() const
{
    const qint64 passed = lastPassTime.load();
    const std::shared_ptr<Run> run = current();
    if (!run)
        return passed;
    const std::int64_t since = run->cancelToken().sinceLastLookMs();
    if (since < 0 || since > aliveMs.load())
        return passed;
    return qMax(passed, clock().toSecsSinceEpoch());
}

void Scheduler::loop()
{
    running = true;
    while (!stopping.load()) {
        // A run-now request is taken at once; otherwise the loop waits for
        // the minute to change, looking at the request between short naps.
        // It naps a tick, or only until the minute ends when that is sooner,
        // so a mission due at the minute change starts within a nap of it.
        cleanUpRemoved();
        const bool woken = wakeRequested.exchange(false);
        const QTime now = clock().time();
        if (!woken && now.minute() == due.minuteMarker()) {
            const int untilMinute = 60000 - (now.second() * 1000 + now.msec()) + kPastMinuteMs;
            const int nap = qMin(tickMs.load(), untilMinute);
            for (int slept = 0; slept < nap && !wakeRequested.load() && !stopping.load(); slept += 50)
                QThread::msleep(static_cast<unsigned long>(qMin(50, nap - slept)));
            continue;
        }
        pass();
    }
    running = false;
}

void Scheduler::pass()
{
    const QDateTime passTime = clock();
    lastPassTime = passTime.toSecsSinceEpoch();
    due.setMinuteMarker(passTime.time().minute());
    const qint64 nowTimestamp = static_cast<quint32>(passTime.toSecsSinceEpoch());
    const QList<int> dueNow = due.takeDue(nowTimestamp);
    if (tracing.load() && !dueNow.isEmpty())
        TQ2TRACE("dueNow", QStringLiteral("%1 due at %2").arg(dueNow.size()).arg(passTime.toString(Qt::ISODate)));

    QList<int> completed;
    for (int msnno : dueNow) {
        // A stop request between missions ends the pass; the rest are
        // armed again by the next start of the service.
        if (stopping.load())
            break;
        runMission(msnno, completed);
        cleanUpRemoved();
    }
    for (int msnno : completed) {
        due.disarm(msnno);
        book.completed(msnno);
    }
}

void Scheduler::record(Run &run, bool succeeded)
{
    RunRecord finished = run.record();
    finished.ended = clock().toSecsSinceEpoch();
    const CancelToken::Reason reason = run.cancelToken().reason();
    finished.outcome = RunVerdict::outcome(succeeded, reason == CancelToken::Stopping || stopping.load(), finished.outcome,
                                           reason == CancelToken::Operator || reason == CancelToken::Removed);
    finished.error = succeeded ? QString() : run.errorText();
    const qint64 seconds = finished.ended - finished.started;
    finished.rate = seconds > 0 ? finished.bytes / seconds : finished.bytes;
    run.setRecord(finished);
    if (finished.runno > 0 && !history.finish(finished))
        TQ2TRACE("history.lastError()", history.lastError());
}

void Scheduler::runMission(int msnno, QList<int> &completed)
{
    // A run asked for through runNow was recorded already.
    RunRecord begun = takeRequested(msnno);
    TQ2Journals lookup;
    QJsonObject row;
    if (!book.row(lookup, msnno, row)) {
        dropRequested(begun, QStringLiteral("the mission is gone"));
        return;
    }
    const Mission mission = Mission::fromRow(row);
    if (mission.done) {
        dropRequested(begun, QStringLiteral("the mission is done"));
        return;
    }
    // A stored row that breaks the mission rules is never run; its reason
    // stays readable for the listing.
    const QString problem = MissionValidator::problem(row);
    due.setProblem(msnno, problem);
    if (!problem.isEmpty()) {
        TQ2TRACE("problem", problem);
        dropRequested(begun, problem);
        return;
    }

    auto run = std::make_shared<Run>(mission, clock().toSecsSinceEpoch());
    if (begun.runno > 0) {
        run->setRecord(begun);
    } else {
        begun = run->record();
        // A run is recorded before it runs: one whose start cannot be
        // written does not start, so that monitoring never misses a run.
        // The mission stays armed and is tried again at the next minute.
        if (!history.begin(begun)) {
            TQ2TRACE("runNotRecorded", QStringLiteral("mission %1 (%2) does not run now: its start cannot be recorded "
                                                      "(%3); it is tried again at the next minute")
                                           .arg(msnno)
                                           .arg(mission.caption, history.lastError()));
            due.armForNextPass(msnno);
            return;
        }
    }
    begun.outcome = QStringLiteral("running");
    run->setRecord(begun);
    {
        std::lock_guard<std::mutex> guard(currentLock);
        currentRun = run;
    }
    // A stop request already pending cancels at once (shutdown cancels what
    // it finds under the lock; this catches a run published after that).
    if (stopping.load())
        run->cancel(CancelToken::Stopping);

    const bool known = RunExecutor::knows(mission.action);
    bool succeeded = false;
    // Nothing thrown by a run leaves the scheduler's thread: the run fails
    // with the reason and the scheduler goes on.
    try {
        succeeded = executor.execute(*run);
    } catch (const std::exception &error) {
        run->journals().setErr(TQ2Error::ERR_FAILED,
                               QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(error.what())));
    }
    record(*run, succeeded);
    if (!succeeded)
        TQ2TRACE("journals.toObject()", run->journals().toObject());

    // The next arming reads the mission as it is stored now: a change made
    // during the run counts, a removed mission is not armed again.
    TQ2Journals reread;
    QJsonObject storedRow;
    const bool stillStored = run->cancelToken().reason() != CancelToken::Removed && book.row(reread, msnno, storedRow);
    if (stillStored) {
        const Mission stored = Mission::fromRow(storedRow);
        bool done = !stored.isScheduled();
        if (known) {
            if (stored.repeats()) {
                // A scheduled send or export runs again at its next time whether
                // this run failed or not: one failure must not end a schedule.
                if (stored.isScheduled())
                    due.arm(msnno, stored.schedules);
            } else if (succeeded) {
                done = true;
                completed.append(msnno);
            }
        }
        book.finished(msnno, done);
    }
    {
        std::lock_guard<std::mutex> guard(currentLock);
        currentRun.reset();
    }
    if (afterRun)
        afterRun(run->mission(), run->record());
}
