// The scheduler's requests from other threads: run now, cancel (of a running
// or a waiting mission), a removed mission (with the clean-up it leaves to the scheduler thread), and the runs
// that run-now recorded before they start.
#include "scheduler.h"

#include "duetable.h"
#include "missionbook.h"
#include "run.h"
#include "runexecutor.h"
#include "runhistory.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

bool Scheduler::runNow(TQ2Journals &journals, int msnno, qint64 *runno)
{
    QJsonObject row;
    if (!book.row(journals, msnno, row)) {
        if (journals.err() == TQ2Error::ERR_NOT_EXISTS)
            journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务不存在: %1").arg(msnno));
        return false;
    }
    if (!running.load() || stopping.load()) {
        journals.setErr(TQ2Error::ERR_NOT_ACTIVE, QStringLiteral("调度器没有运行"));
        return false;
    }
    {
        // With one slot a run-now waits for nobody: another run refuses it,
        // as when missions always ran one at a time. With more slots only a
        // run of the mission itself does; the rest is the queue's business.
        std::lock_guard<std::mutex> guard(currentLock);
        const Going *other = runLimits.maxParallel <= 1 ? firstGoing() : nullptr;
        if (goingOf(msnno)) {
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("任务正在运行: %1").arg(msnno));
            return false;
        }
        if (other) {
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("另一个任务正在运行: %1 (%2)")
                                                    .arg(other->run->mission().msnno)
                                                    .arg(other->run->mission().caption));
            return false;
        }
    }
    // A finished mission (a receive or restore that completed, a send without
    // schedules that ran) becomes pending again, or the scheduler would skip it.
    if (Mission::fromRow(row).done && !book.rearm(journals, msnno))
        return false;
    // A run is recorded before it runs: one that cannot be (a full disk
    // under the database) does not start, and the answer says why.
    bool pending = false;
    qint64 asked = 0;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        pending = requested.contains(msnno);
        asked = requested.value(msnno).runno;
    }
    if (!pending) {
        // Written without holding the lock; a second request that raced
        // this one keeps the first record and ends its own.
        RunRecord begun = Run(Mission::fromRow(row), clock().toSecsSinceEpoch()).record();
        if (!history.begin(begun)) {
            journals.setErr(TQ2Error::ERR_SQLERROR,
                            QStringLiteral("the run's start cannot be recorded: %1").arg(history.lastError()));
            return false;
        }
        bool raced = false;
        {
            std::lock_guard<std::mutex> guard(currentLock);
            raced = requested.contains(msnno);
            if (!raced)
                requested.insert(msnno, begun);
            asked = requested.value(msnno).runno;
        }
        if (raced)
            dropRequested(begun, QStringLiteral("asked for twice"));
    }
    if (runno)
        *runno = asked;
    due.armNow(msnno);
    wakeRequested = true;
    return true;
}

bool Scheduler::cancel(TQ2Journals &journals, int msnno)
{
    std::shared_ptr<Run> run;
    bool waited = false;
    RunRecord begun;
    int runningMission = 0;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        if (Going *going = goingOf(msnno)) {
            run = going->run;
        } else if (queue.contains(msnno)) {
            // A run-now not yet taken by a pass would queue it again.
            due.disarm(msnno);
            queue.removeAll(msnno);
            waitReasons.remove(msnno);
            begun = requested.take(msnno);
            waited = true;
        } else if (const Going *first = firstGoing()) {
            runningMission = first->run->mission().msnno;
        }
    }
    if (run) {
        run->cancel(CancelToken::Operator);
        return true;
    }
    if (waited) {
        // It did not run: a run recorded for it ends as cancelled, and a
        // scheduled mission keeps its schedule.
        dropRequested(begun, QStringLiteral("cancelled before it started"), QStringLiteral("cancelled"));
        TQ2Journals lookup;
        QJsonObject row;
        if (book.row(lookup, msnno, row)) {
            const Mission stored = Mission::fromRow(row);
            if (stored.isScheduled() && !stored.done)
                due.arm(msnno, stored.schedules);
        }
        return true;
    }
    journals.setErr(TQ2Error::ERR_NOT_ACTIVE,
                    runningMission == 0 ? QStringLiteral("任务没有运行: %1").arg(msnno)
                                        : QStringLiteral("任务没有运行: %1 (正在运行: %2)").arg(msnno).arg(runningMission));
    return false;
}

void Scheduler::missionRemoved(int msnno, const Mission &removed)
{
    due.disarm(msnno);
    std::shared_ptr<Run> run;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        removedMissions.append(removed);
        queue.removeAll(msnno);
        waitReasons.remove(msnno);
        if (Going *going = goingOf(msnno))
            run = going->run;
    }
    // A run asked for and recorded but not started yet will not start.
    dropRequested(takeRequested(msnno), QStringLiteral("the mission was removed"));
    if (run)
        run->cancel(CancelToken::Removed);
    wakeRequested = true;
}

void Scheduler::cleanUpRemoved()
{
    // A removed mission whose run still goes is cleaned up after that run.
    QList<Mission> removed;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        QList<Mission> later;
        for (const Mission &mission : removedMissions)
            (goingOf(mission.msnno) ? later : removed).append(mission);
        removedMissions.swap(later);
    }
    for (const Mission &mission : removed) {
        if (stopping.load())
            break;
        executor.cleanUp(mission);
    }
}

RunRecord Scheduler::takeRequested(int msnno)
{
    std::lock_guard<std::mutex> guard(currentLock);
    return requested.take(msnno);
}

void Scheduler::dropRequested(RunRecord begun, const QString &reason, const QString &outcome)
{
    if (begun.runno <= 0)
        return;
    begun.ended = clock().toSecsSinceEpoch();
    begun.outcome = outcome;
    begun.error = reason;
    if (!history.finish(begun))
        TQ2TRACE("history.lastError()", history.lastError());
}
