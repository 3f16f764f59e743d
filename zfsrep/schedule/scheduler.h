// The scheduler: a thread of its own that, at every change of the minute and
// at once after a run-now request, queues the missions that have fallen due
// in the order they fell due, and starts every queued mission that the run
// limits allow (RunAdmission: free slots, runs per remote endpoint, no
// overlapping dataset tree); a mission that may not start yet waits in the
// queue without holding back the ones behind it. With one slot (the
// default) missions run one at a time, in order.
//
// Each run goes on a worker thread of its own: it reads the mission from the
// book, hands the Run to the executor, records the outcome in the run
// history and arms the mission again from the row as it is stored then (a
// change made during the run counts; a mission removed during its run is not
// armed). The end of a run (record, arming, afterRun) is done under one lock,
// one run at a time.
//
// The scheduler owns the running Runs; RPC threads read them (progress,
// records) and cancel them through the methods here. Everything else a run
// changes lives in the Run.
#pragma once

#include "liveruns.h"
#include "mission.h"
#include "runadmission.h"
#include "runrecord.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class DueTable;
class MissionBook;
class Run;
class RunExecutor;
class RunHistory;
class TQ2Journals;

class Scheduler
{
public:
    // Called after each recorded run, one run at a time, with the
    // mission as the run read it and the run's record (the metrics file, the
    // notices).
    using AfterRun = std::function<void(const Mission &mission, const RunRecord &record)>;

    // Every reference must outlive the scheduler.
    Scheduler(MissionBook &book, DueTable &due, RunHistory &history, RunExecutor &executor,
              std::function<QDateTime()> clock, AfterRun afterRun);
    // Stops the thread, cancelling the running transfers, and waits for them.
    ~Scheduler();

    // Launches the thread once.
    void start();
    // How many runs may go at once, in all and to one remote endpoint. Set
    // before start.
    void setLimits(const RunLimits &runLimits);
    RunLimits limits() const;
    // Stops: every running transfer is cancelled, recorded as interrupted and
    // its event written; queued missions do not start. Waits up to
    // `timeoutMs` for the thread and its runs to end. True when they ended
    // in time.
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
    // (ERR_NOT_EXISTS), when it runs (ERR_BUSY), with one run slot when
    // another one runs (ERR_BUSY), or when the scheduler does not run
    // (ERR_NOT_ACTIVE). With more slots it is queued and waits its turn.
    // `runno`, when given, gets the number of the run in the history (the
    // one already asked for, when a request came twice before the run
    // started).
    bool runNow(TQ2Journals &journals, int msnno, qint64 *runno = nullptr);
    // Cancels the running transfer of `msnno` (recorded as cancelled), or
    // takes a waiting `msnno` out of the queue (a run recorded for it ends as
    // cancelled; a scheduled mission stays armed for its next time).
    // ERR_NOT_ACTIVE when that mission neither runs nor waits.
    bool cancel(TQ2Journals &journals, int msnno);
    // The mission was removed: a run of it ends now, with no erase and no
    // arming after it; what it leaves behind (`removed`, as it was stored)
    // is cleaned up on the scheduler thread once no run of it goes on.
    void missionRemoved(int msnno, const Mission &removed);
    // Cancels every run going now (recorded as cancelled, or interrupted
    // when stopping).
    void cancelCurrent();

    // The progress ("msnno", "action", "speed", "rate", ...) of the run that
    // started first among those going; empty when nothing runs.
    QJsonObject progress() const;
    // The record of that run; runno 0 when nothing runs.
    RunRecord runningRecord() const;
    // Every running and waiting mission, read at once.
    LiveRuns live() const;
    // The scheduler's last pass, seconds since the epoch (0 before the first).
    qint64 lastPass() const { return lastPassTime.load(); }
    // The scheduler's sign of life (seconds since the epoch), for the
    // metrics: the time of its last pass, or the clock's now while a run
    // goes whose steps looked at their cancel token within the alive window
    // (a long transfer is not a stopped scheduler; a hung one is). Any thread.
    qint64 heartbeat() const;
    void setAliveWindow(int ms) { aliveMs = ms; }

private:
    // One run going on its worker thread.
    struct Going {
        std::shared_ptr<Run> run;
        RunFootprint footprint;
        std::thread worker;
        bool ended = false; // its end is recorded; the worker returns
    };

    void loop();
    void pass();
    // Starts, in queue order, every queued mission the limits allow.
    void admit();
    // Tries to start the queued `msnno`: false when it waits (its reason
    // noted); true when it started or left the queue for good.
    bool tryStart(int msnno);
    // The worker thread's body.
    void runMission(Going *going);
    // Records the run's end and arms the mission again.
    void finishRun(Run &run, bool succeeded);
    // Joins the workers whose runs ended.
    void reapEnded();
    // Cleans up after the missions removed since the last call whose runs
    // have ended.
    void cleanUpRemoved();
    // Stores the end of `run` in the history.
    void record(Run &run, bool succeeded);
    // Called with `currentLock` held.
    Going *goingOf(int msnno);
    const Going *firstGoing() const;
    int goingCount() const;
    // The start of a run of `msnno` that runNow recorded already, taken out
    // (runno 0 when there is none).
    RunRecord takeRequested(int msnno);
    // Ends a run that runNow recorded but that does not run after all.
    void dropRequested(RunRecord begun, const QString &reason, const QString &outcome = QStringLiteral("failed"));
    std::shared_ptr<Run> current() const;

    MissionBook &book;
    DueTable &due;
    RunHistory &history;
    RunExecutor &executor;
    std::function<QDateTime()> clock;
    AfterRun afterRun;

    mutable std::mutex currentLock;
    std::list<Going> goingRuns;       // in the order they started, guarded by currentLock
    QList<int> queue;                 // due missions in order, guarded by currentLock
    QHash<int, QString> waitReasons;  // guarded by currentLock
    RunLimits runLimits;              // guarded by currentLock
    std::mutex endLock;               // one run's end at a time
    QList<Mission> removedMissions;   // guarded by currentLock
    QHash<int, RunRecord> requested;  // runs begun by runNow, guarded by currentLock
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> wakeRequested{false};
    std::atomic<qint64> lastPassTime{0};
    std::atomic<int> tickMs{1000};
    std::atomic<int> aliveMs{60000};
    std::atomic<bool> tracing{false};
};
