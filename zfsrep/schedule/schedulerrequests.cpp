// The scheduler's requests from other threads: run now, cancel, a removed
// mission (with the clean-up it leaves to the scheduler thread), and the runs
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
    if (const std::shared_ptr<Run> run = current()) {
        if (run->mission().msnno == msnno)
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("任务正在运行: %1").arg(msnno));
        else
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("另一个任务正在运行: %1 (%2)")
                                                    .arg(run->mission().msnno)
                                                    .arg(run->mission().caption));
        return false;
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
    const std::shared_ptr<Run> run = current();
    const int runningMission = run ? run->mission().msnno : 0;
    if (runningMission != msnno) {
        journals.setErr(TQ2Error::ERR_NOT_ACTIVE,
                        runningMission == 0 ? QStringLiteral("任务没有运行: %1").arg(msnno)
                                            : QStringLiteral("任务没有运行: %1 (正在运行: %2)").arg(msnno).arg(runningMission));
        return false;
    }
    run->cancel(CancelToken::Operator);
    return true;
}

void Scheduler::missionRemoved(int msnno, const Mission &removed)
{
    due.disarm(msnno);
    {
        std::lock_guard<std::mutex> guard(currentLock);
        removedMissions.append(removed);
    }
    // A run asked for and recorded but not started yet will not start.
    dropRequested(takeRequested(msnno), QStringLiteral("the mission was removed"));
    const std::shared_ptr<Run> run = current();
    if (run && run->mission().msnno == msnno)
        run->cancel(CancelToken::Removed);
    wakeRequested = true;
}

void Scheduler::cleanUpRemoved()
{
    QList<Mission> removed;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        removed.swap(removedMissions);
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

void Scheduler::dropRequested(RunRecord begun, const QString &reason)
{
    if (begun.runno <= 0)
        return;
    begun.ended = clock().toSecsSinceEpoch();
    begun.outcome = QStringLiteral("failed");
    begun.error = reason;
    if (!history.finish(begun))
        TQ2TRACE("history.lastError()", history.lastError());
}
