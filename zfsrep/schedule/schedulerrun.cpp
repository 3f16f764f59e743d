// The scheduler's runs: the worker thread's body, the end of a run (record,
// arming, afterRun; one run at a time) and the joining of ended workers.
#include "scheduler.h"

#include "duetable.h"
#include "missionbook.h"
#include "run.h"
#include "runexecutor.h"
#include "runhistory.h"
#include "runverdict.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

#include <exception>

void Scheduler::runMission(Going *going)
{
    Run &run = *going->run;
    bool succeeded = false;
    // Nothing thrown by a run leaves its thread: the run fails with the
    // reason and the scheduler goes on.
    try {
        succeeded = executor.execute(run);
    } catch (const std::exception &error) {
        run.journals().setErr(TQ2Error::ERR_FAILED,
                              QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(error.what())));
    }
    {
        std::lock_guard<std::mutex> endGuard(endLock);
        finishRun(run, succeeded);
        {
            std::lock_guard<std::mutex> guard(currentLock);
            going->ended = true;
        }
        if (afterRun)
            afterRun(run.mission(), run.record());
    }
    // The freed slot may start a waiting mission.
    wakeRequested = true;
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

void Scheduler::finishRun(Run &run, bool succeeded)
{
    const int msnno = run.mission().msnno;
    record(run, succeeded);
    if (!succeeded)
        TQ2TRACE("journals.toObject()", run.journals().toObject());

    // The next arming reads the mission as it is stored now: a change made
    // during the run counts, a removed mission is not armed again.
    TQ2Journals reread;
    QJsonObject storedRow;
    const bool stillStored = run.cancelToken().reason() != CancelToken::Removed && book.row(reread, msnno, storedRow);
    if (!stillStored)
        return;
    const Mission stored = Mission::fromRow(storedRow);
    bool done = !stored.isScheduled();
    bool completed = false;
    if (RunExecutor::knows(run.mission().action)) {
        if (stored.repeats()) {
            // A scheduled send or export runs again at its next time whether
            // this run failed or not: one failure must not end a schedule.
            if (stored.isScheduled()) {
                due.arm(msnno, stored.schedules);
                // A time that fell due during the run (a change armed it)
                // is covered by this arming, as when runs go one by one.
                std::lock_guard<std::mutex> guard(currentLock);
                if (!requested.contains(msnno)) {
                    queue.removeAll(msnno);
                    waitReasons.remove(msnno);
                }
            }
        } else if (succeeded) {
            done = true;
            completed = true;
        }
    }
    book.finished(msnno, done);
    if (completed) {
        due.disarm(msnno);
        book.completed(msnno);
    }
}

void Scheduler::reapEnded()
{
    std::list<Going> ended;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        for (auto it = goingRuns.begin(); it != goingRuns.end();) {
            auto next = std::next(it);
            if (it->ended && it->worker.joinable())
                ended.splice(ended.end(), goingRuns, it);
            it = next;
        }
    }
    for (Going &going : ended)
        going.worker.join();
}
