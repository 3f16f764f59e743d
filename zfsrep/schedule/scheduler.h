// The scheduler: a thread of its own that, at every change of the minute and
// at once after a run-now request, runs the missions that have fallen due,
// one at a time. For each it reads the mission from the book, creates the
// Run, hands it to the executor, records the outcome in the run history and
// arms the mission again from the row as it is stored then (a change made
// during the run counts; a mission removed during its run is not armed).
//
// The scheduler owns the running Run; RPC threads read it (progress, record)
// and cancel it through the methods here. Everything else a run changes
// lives in the Run.
#pragma once

#include "mission.h"
#include "runrecord.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class DueTable;
class MissionBook;
class Run;
class RunExecutor;
class RunHistory;
class TQ2Journals;

class Scheduler
{
public:
    // Called on the scheduler thread after each recorded run with the
    // mission as the run read it and the run's record (the metrics file, the
    // notices).
    using AfterRun = std::function<void(const Mission &mission, const RunRecord &record)>;

    // Every reference must outlive the scheduler.
    Scheduler(MissionBook &book, DueTable &due, RunHistory &history, RunExecutor &executor,
              std::function<QDateTime()> clock, AfterRun afterRun);
    // Stops the thread, cancelling a running transfer, and waits for it.
    ~Scheduler();

    // Launches the thread once.
    void start();
    // Stops: the running transfer is cancelled, recorded as interrupted and
    // its event written; waits up to `timeoutMs` for the thread to end. True
    // when it ended in time.
    bool shutdown(int timeoutMs);
    bool isRunning() const { return running.load(); }
    // How long the idle thread sleeps between looks at the clock.
    void setTickInterval(int ms) { tickMs = ms; }
    // Whether each pass traces what fell due ("debugging").
    void setTracing(bool on) { tracing = on; }

    // Due at the next look, which comes within about a second. A done
    // mission is made pending again first. The run's start is recorded in
    // the history here, before the answer: refused with ERR_SQLERROR and the
    // database's reason when it cannot be written (the run does not start).
    // Refused (journal set) also when the mission does not exist
    // (ERR_NOT_EXISTS), when it or another one runs (ERR_BUSY) or when the
    // scheduler does not run (ERR_NOT_ACTIVE). `runno`, when given, gets the
    // number of the run in the history (the one already asked for, when a
    // request came twice before the run started).
    bool runNow(TQ2Journals &journals, int msnno, qint64 *runno = nullptr);
    // Cancels the running transfer of `msnno` (recorded as cancelled).
    // ERR_NOT_ACTIVE when that mission is not the one running.
    bool cancel(TQ2Journals &journals, int msnno);
    // The mission was removed: a run of it ends now, with no erase and no
    // arming after it; what it leaves behind (`removed`, as it was stored)
    // is cleaned up on the scheduler thread once no run of it goes on.
    void missionRemoved(int msnno, const Mission &removed);
    // Cancels whatever runs now (recorded as failed unless stopping).
    void cancelCurrent();

    // The running mission's progress ("msnno", "action", "speed", "rate",
    // ...); empty when nothing runs.
    QJsonObject progress() const;
    // The running mission's record; runno 0 when nothing runs.
    RunRecord runningRecord() const;
    // The scheduler's last pass, seconds since the epoch (0 before the first).
    qint64 lastPass() const { return lastPassTime.load(); }
    // The scheduler's sign of life (seconds since the epoch), for the
    // metrics: the time of its last pass, or the clock's now while a run
    // goes whose steps looked at their cancel token within the alive window
    // (a long transfer is not a stopped scheduler; a hung one is). Any thread.
    qint64 heartbeat() const;
    void setAliveWindow(int ms) { aliveMs = ms; }

private:
    void loop();
    void pass();
    // Runs one due mission; a completed receive or restore goes to `completed`.
    void runMission(int msnno, QList<int> &completed);
    // Cleans up after the missions removed since the last call.
    void cleanUpRemoved();
    // Stores the end of `run` in the history.
    void record(Run &run, bool succeeded);
    // The start of a run of `msnno` that runNow recorded already, taken out
    // (runno 0 when there is none).
    RunRecord takeRequested(int msnno);
    // Ends a run that runNow recorded but that does not run after all.
    void dropRequested(RunRecord begun, const QString &reason);
    std::shared_ptr<Run> current() const;

    MissionBook &book;
    DueTable &due;
    RunHistory &history;
    RunExecutor &executor;
    std::function<QDateTime()> clock;
    AfterRun afterRun;

    mutable std::mutex currentLock;
    std::shared_ptr<Run> currentRun; // guarded by currentLock
    QList<Mission> removedMissions;  // guarded by currentLock
    QHash<int, RunRecord> requested; // runs begun by runNow, guarded by currentLock
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> wakeRequested{false};
    std::atomic<qint64> lastPassTime{0};
    std::atomic<int> tickMs{1000};
    std::atomic<int> aliveMs{60000};
    std::atomic<bool> tracing{false};
};
