// The replication engine. It keeps the missions (SQLite, through TQ2DBSqlite),
// arms them in a due-time table from their schedules, runs the due ones on a
// scheduler thread of its own (send to / receive from a remote host over ssh,
// export to / restore from a gzip file), publishes the running transfer's
// progress, writes one event-log record per transfer, and answers the local
// and remote ZFS queries of the RPC methods.
//
// The class is one object split over several source files by concern:
//   mxzfsrep.cpp             construction, configuration, test seams
//   mxzfsrep_missions.cpp    mission store and event-log listing
//   mxzfsrep_schedules.cpp   arming and disarming due times
//   mxzfsrep_local.cpp       local pools, datasets and snapshots
//   mxzfsrep_remote.cpp      remote queries over ssh
//   mxzfsrep_pipeline.cpp    the transfer stage runner and progress parsing
//   mxzfsrep_snapshots.cpp   snapshot streams to and from a remote host
//   mxzfsrep_pools.cpp       send and receive missions
//   mxzfsrep_files.cpp       export and restore missions
//   mxzfsrep_scheduler.cpp   the scheduler thread
//   mxzfsrep_control.cpp     run now and cancel on an operator's request
//   mxzfsrep_runs.cpp        run records, event records, the listing's state
//   mxzfsrep_metrics.cpp     the metrics text and its file
//
// Threads: RPC connection threads call the mission, schedule and query
// operations; the scheduler thread runs the transfers. The due-time table is
// guarded by the missions lock, the progress object by the progress lock;
// the two are never held together and never while a statement or a child
// process runs. Operations report into the caller's TQ2Journals.
#pragma once

#include "compressor.h"
#include "processrunner.h"
#include "replicator.h"
#include "stageoutcome.h"
#include "runrecord.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QmTarnlog;
class RunHistory;
class TQ2DBSqlite;
class TQ2Journals;

class MXZfsrep : public QObject
{
    Q_OBJECT
public:
    static const QString kDatabasePath;    // "/tarn/etc/zfs/zfsrep.db"
    static const QString kApplication;     // "zfsrep", the event-log application
    static const QString kIncomingSuffix;  // ".zfsrep-incoming"
    static const QString kPreviousSuffix;  // ".zfsrep-previous"
    static constexpr int kStageStartMs = 30000;
    static constexpr int kStageStepMs = 3000;

    // The message of a failed stage: its standard error, or else what the
    // terminal showed with pv's display and script's own notices removed.
    static QString stageErrorText(const QByteArray &terminalOutput, const QByteArray &standardError);
    // The export file of a snapshot: its name without ":" plus ".gz.zsa",
    // resolved against the export directory (relative: the working directory).
    static QString exportFilePath(const QString &directory, const QString &snapshot);
    // The dataset a restore writes: `name`, or when empty the part of the
    // file name before its first "@" (empty when there is none).
    static QString restoreDatasetName(const QString &name, const QString &file);

    explicit MXZfsrep(QObject *parent = nullptr);
    // Stops the scheduler thread (waiting for it), then destroys the members.
    ~MXZfsrep() override;

    // ---- configuration and missions (RPC threads) ----
    // Opens or creates the database, loads the statements, upgrades the
    // schema, removes partial files of interrupted exports, arms every
    // pending mission. Reads "compresslevel" and "compressthreads" from
    // `config`. False only when the database could not be opened.
    bool loadConfigure(TQ2Journals &journals, const QJsonObject &config);
    bool transferExists(TQ2Journals &journals, const QString &caption);
    // Refuses a caption that exists in any letter case (ERR_EXISTS); the test
    // and the insert are one atomic step.
    bool transferAppend(TQ2Journals &journals, const QJsonObject &mission);
    // Refuses a number that does not exist (ERR_NOT_EXISTS); nothing is armed then.
    bool transferChange(TQ2Journals &journals, const QJsonObject &mission);
    // The stored row of mission `msnno` (as the store reads it) into `row`;
    // false with ERR_NOT_EXISTS when there is none, ERR_SQLERROR on failure.
    bool transferDetail(TQ2Journals &journals, int msnno, QJsonObject &row);
    bool transferRemove(TQ2Journals &journals, int msnno);
    // result["records"]: every mission (paging is not applied), with the
    // running mission's "speed" and "rate" merged in, and on every one
    // "state", "nextrun", "lastrun", "lastresult" and "lasterror" (see
    // addRunFields). False when a statement failed.
    bool transferAlload(TQ2Journals &journals, QJsonObject &result, int page, int ofpage);
    bool transferLogAlload(TQ2Journals &journals, QJsonArray &records, int page, int ofpage);
    bool transferLogClear(TQ2Journals &journals);

    // ---- run history, control and metrics (RPC threads) ----
    // Puts the mission in the due table for the scheduler's next look, which
    // comes within about a second (not at the next minute). A mission that is
    // done is made pending again first. Refused (false, journal set) when the
    // mission does not exist (ERR_NOT_EXISTS), when it or another transfer
    // runs (ERR_BUSY, naming the running one) or when the scheduler does not
    // run (ERR_NOT_ACTIVE).
    bool runNow(TQ2Journals &journals, int msnno);
    // Asks the running transfer of `msnno` to end; its run is recorded as
    // cancelled. The scheduler goes on. Refused with ERR_NOT_ACTIVE when that
    // mission is not the one running.
    bool cancelMission(TQ2Journals &journals, int msnno);
    // The mission's runs, newest first, at most `limit`, each as
    // RunRecord::toJson().
    bool missionHistory(TQ2Journals &journals, QJsonArray &runs, int msnno, int limit);
    // The Prometheus text exposition of the missions and the scheduler.
    bool metricsText(TQ2Journals &journals, QString &text);
    // Writes metricsText() to the configured "metricsfile" (nothing when the
    // key is unset); false when the text or the file could not be made.
    bool writeMetricsFile();

    // ---- due times (any thread; take the missions lock themselves) ----
    bool addSchedules(int msnno, const QJsonArray &schedules);
    bool removeSchedules(int msnno);
    // Why a pending mission is not run (a stored row that breaks the mission
    // rules, see MissionValidator::problem), or empty. Set at configuration
    // load and before each run, cleared by a change or a removal.
    QString missionProblem(int msnno) const;

    // ---- local queries (any thread, no engine state) ----
    bool alload(TQ2Journals &journals, QJsonObject &pools) const;
    bool snapshotAllist(TQ2Journals &journals, QStringList &names, const QString &dataset) const;
    bool remove(TQ2Journals &journals, const QString &dataset) const;
    bool snapshotAlload(TQ2Journals &journals, QJsonArray &snapshots) const;
    bool snapshotCreate(TQ2Journals &journals, const QString &snapshot, const QString &dataset) const;
    bool snapshotRemove(TQ2Journals &journals, const QString &snapshot) const;
    qint64 snapshotSize(TQ2Journals &journals, const QString &snapshot, const QString &base) const;

    // ---- remote queries over ssh (any thread, no engine state) ----
    bool remotePools(TQ2Journals &journals, QJsonObject &pools, const QString &host, int port,
                     const QString &userid, const QString &passwd) const;
    bool remoteSnapshotAllist(TQ2Journals &journals, QStringList &names, const QString &host, int port,
                              const QString &userid, const QString &passwd, const QString &dataset) const;
    bool remoteSnapshotAlload(TQ2Journals &journals, QJsonObject &tree, const QString &host, int port,
                              const QString &userid, const QString &passwd) const;
    qint64 remoteSnapshotSize(TQ2Journals &journals, const QString &host, int port, const QString &userid,
                              const QString &passwd, const QString &snapshot, const QString &base) const;

    // ---- transfers (scheduler thread) ----
    bool sendSnapshots(TQ2Journals &journals, const QJsonObject &mission);
    bool recvSnapshots(TQ2Journals &journals, const QJsonObject &mission);
    // Reads the newest `pv` display line of the buffer: its rate into
    // `speed` and its percentage (0..100) into `rate`, only when the line
    // ends in "%". Tabs in the buffer are replaced by spaces in place.
    void takeProgress(QString &speed, int &rate, QByteArray &buffer) const;
    bool sendPool(TQ2Journals &journals, const QJsonObject &mission);
    bool recvPool(TQ2Journals &journals, const QJsonObject &mission);
    bool sendFile(TQ2Journals &journals, const QJsonObject &mission);
    bool recvFile(TQ2Journals &journals, const QJsonObject &mission);

    // ---- scheduler ----
    // Launches the scheduler thread once; always true.
    bool start(TQ2Journals &journals);
    // The scheduler thread's loop.
    void scheduleRun();
    // Asks the running transfer to end; it is recorded as failed.
    void cancel();
    // Sets the stop and cancel flags and waits up to `timeoutMs` for the
    // scheduler thread to record its current mission and end. True when it
    // ended in time.
    bool shutdown(int timeoutMs);
    bool isRunning() const { return running.load(); }

    // A copy of the running mission's progress ("msnno", "action", "speed",
    // "rate"); empty when nothing runs.
    QJsonObject progress() const;
    // A copy of the due-time table.
    QHash<int, qint64> dueTimes() const;
    // A copy of the running mission's run record; runno 0 when nothing runs.
    RunRecord runningRecord() const;

    // ---- seams for tests and the testbed ----
    void setRunner(std::shared_ptr<ProcessRunner> runner);
    // The clock that schedules and the scheduler read (local time).
    void setClock(std::function<QDateTime()> clock);
    // How long the idle scheduler sleeps between looks at the clock.
    void setTickInterval(int ms);
    void setDatabasePath(const QString &path);
    void setEventLogPath(const QString &path);
    TQ2DBSqlite &db() { return *database; }
    RunHistory &runHistory() { return *history; }
    void setMetricsPath(const QString &path);
    QmTarnlog &eventLog() { return *tarnlog; }

    // Seconds a metered stage may go without moving a byte before the
    // watchdog ends it (configuration key "stalltimeout"; 0 disables).
    void setStallTimeout(int seconds) { stallTimeoutSeconds = seconds; }
    // Where a run's shared ssh connection keeps its socket (default
    // SshControl::defaultDirectory()); empty: every ssh logs in by itself
    // (configuration key "sshshare": false). Set before start().
    void setSshControlDirectory(const QString &directory) { sshControlDirectory = directory; }
    // What the last send or receive replicated (scheduler thread).
    ReplicationResult lastReplication() const;
    // Notes what the running transfer did in its run record: kind, bytes
    // moved, base and target snapshot, and "stalled" or "cancelled" when it
    // ended so (an empty kind or outcome keeps what is there).
    void noteRun(const QString &kind, qint64 bytes, const QString &base, const QString &target,
                 const QString &outcome = QString());

private:
    // Runs one transfer stage: the pipeline under `script` with SSHPASS (when
    // a password is given) and SHELL=/bin/bash in its environment, watched in
    // steps of kStageStepMs. After each step the output that arrived is
    // appended to a progress buffer (a fresh one per step when
    // `freshBufferEachStep`) and `onStep` is called with it. A set cancel
    // flag terminates the stage, which then counts as failed.
    StageOutcome runStage(const QString &pipeline, const QString &password, bool freshBufferEachStep,
                          const std::function<void(QByteArray &)> &onStep);
    // Runs a replication stage whose pipeline carries `pv -n -b -t`: the
    // progress (speed, percentage, bytes, total, ETA) is published once a
    // second, and a stage whose byte count does not move for the stall
    // timeout is ended (outcome.stalled). `size` is the stream's estimate.
    StageOutcome runMeteredStage(const QString &pipeline, const QString &password, qint64 size);
    std::unique_ptr<WatchedProcess> spawnStage(const QString &pipeline, const QString &password);
    // Reads the end of a stage into `outcome`: success, or the error text.
    void finishStage(WatchedProcess &process, const QByteArray &terminal, StageOutcome &outcome) const;
    void publishMeter(const class PvMeter &meter);
    // Replicates with the replicator, stages metered, the result kept for
    // lastReplication(); `password` is the remote side's.
    bool replicate(TQ2Journals &journals, const ReplicationJob &job, const QString &password);
    // Creates DATASET@SERIES_yyyyMMddHHmmss recursively; a name that exists
    // already gets "_2", "_3", ... (the series prefix still matches).
    bool createSeriesSnapshot(TQ2Journals &journals, const QString &dataset, const QString &series, QString &snapshot);
    // Holds `snapshot` with the mission's tag and releases that tag from
    // every other snapshot of the dataset.
    void moveBaseHold(TQ2Journals &journals, int msnno, const QString &dataset, const QString &snapshot);
    // Receives the remote snapshots the mission names into `target`, full
    // stream first, then the incremental one; no mount step.
    bool pullSnapshots(TQ2Journals &journals, const QJsonObject &mission, const QString &target);
    // Mount step: "/mnt/" + dataset made (one level), then its mount point
    // set. A failure is journaled and false.
    bool mountUnderMnt(TQ2Journals &journals, const QString &dataset) const;
    bool renameDataset(TQ2Journals &journals, const QString &from, const QString &to) const;
    // Puts a dataset received under `incoming` in the place of `target`: the
    // old one is moved aside (+ kPreviousSuffix), the new one renamed into
    // place, then the old one removed (holds released). A failed rename puts
    // the old one back.
    bool replaceDataset(TQ2Journals &journals, const QString &incoming, const QString &target, bool targetExists);
    // Receives with `receive` into the incoming sibling of pool/name (its
    // name + kIncomingSuffix) and only once that succeeded puts it in the
    // dataset's place and mounts it under /mnt. `items` is the pool's dataset
    // map: leftovers of an interrupted run are recovered first (a moved-aside
    // dataset is put back, a partial incoming one destroyed); a failed
    // receive is destroyed after. The existing dataset is untouched unless the
    // receive succeeded.
    bool receiveReplacing(TQ2Journals &journals, const QString &pool, const QString &name, const QJsonObject &items,
                          const std::function<bool(const QString &incoming)> &receive);
    // Snapshot name of a send: DATASET@SERIES_yyyyMMddHHmmss.
    QString newSnapshotName(const QString &dataset, const QString &series) const;
    // Writes the replication stream of `snapshot` compressed to `file`
    // below the export directory `top`: first under a ".part" name, then
    // read back and checked, flushed to disk and renamed; the directories
    // from the file's up to `top` are flushed last. True only when `file` is
    // complete, checked and durable; otherwise no file is left under either
    // name (except when only a flush after the rename failed) and the
    // journal says why.
    bool writeExport(TQ2Journals &journals, const QString &snapshot, const QString &file, const QString &top);
    // Removes the series' snapshots older than `newest`. Only the
    // service's own hold tags are released; a snapshot another tool holds
    // is kept and the journal says so. `msnno` names the mission's tag.
    void eraseOlderSeries(TQ2Journals &journals, const QString &dataset, const QString &series,
                          const QString &newest, int msnno = 0);

    // Runs one collected mission and records its outcome; receive and restore
    // missions that succeeded are added to `completed`.
    void runMission(int msnno, QList<int> &completed);
    // Stores the start of a run in the history and in currentRun.
    void beginRun(int msnno, const QJsonObject &mission, int action);
    // Stores its end: outcome, the journal's message when it did not succeed,
    // what the transfer code wrote into currentRun; then clears currentRun.
    void finishRun(bool succeeded, const TQ2Journals &journals);
    // The message of a failed run as its journal has it, without surrounding
    // white space: the journal's message, else that of its last failed entry.
    static QString journalError(const TQ2Journals &journals);
    // Why a stored mission cannot run; empty when it can. The listing shows a
    // mission with a reason as failed.
    QString storedMissionProblem(const QJsonObject &mission) const;
    // Adds state, nextrun, lastrun, lastresult and lasterror to every listed
    // mission. False when the history could not be read.
    bool addRunFields(TQ2Journals &journals, QJsonArray &records);
    // The metrics thread: writes the metrics file every minute until stopped.
    void metricsLoop();
    void stopMetricsThread();
    QDateTime now() const;
    ProcessRunner &runner() const { return *processRunner; }
    // Journals a failed statement: place, the statement id, SQLite's message.
    void journalDatabaseFailure(TQ2Journals &journals, const QString &place) const;
    // Sets the due time of a mission to "next pass" and the minute marker to
    // the current minute, so it runs when the current minute ends.
    void armForNextPass(int msnno);
    // Records (or, when empty, clears) why a mission is not run.
    void setMissionProblem(int msnno, const QString &problem);
    // Writes "speed" and "rate" into the progress object in one lock.
    void publishProgress(const QString &speed, int rate);
    // One event-log record of a finished transfer. When it failed during a
    // scheduled run, its detail carries "error", the run journal's message.
    void writeEvent(bool result, const QString &symbol, const QString &dataset, const QString &direction,
                    const QJsonObject &mission, int action, const QString &from, const QString &to);
    // Refuses a host or user id that could change the ssh command
    // (ERR_PARAMS "参数无效: host"/"参数无效: userid").
    bool checkEndpoint(TQ2Journals &journals, const QString &host, const QString &userid) const;

    std::unique_ptr<TQ2DBSqlite> database;
    mutable std::mutex missionsLock;
    QHash<int, qint64> dueTable;
    QHash<int, QString> problems; // guarded by missionsLock
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<int> minuteMarker{0};
    std::atomic<bool> cancelled{false};
    std::unique_ptr<QmTarnlog> tarnlog;
    mutable std::mutex progressLock;
    QJsonObject progressObject;
    // The running mission's run (guarded by progressLock). The transfer code
    // fills kind, bytes, base and target, and may set outcome to "stalled"
    // or "cancelled" before it returns false.
    RunRecord currentRun;
    std::unique_ptr<RunHistory> history;
    std::atomic<bool> cancelRequested{false}; // an operator's cancel of the running mission
    std::atomic<bool> wakeRequested{false};   // a run-now request waits in the due table
    std::atomic<qint64> lastPass{0};          // the scheduler's last pass, seconds since the epoch
    // The journal of the run in progress (scheduler thread only), so the
    // event record of a failed transfer carries its message.
    const TQ2Journals *activeJournals = nullptr;
    std::mutex metricsLock; // guards metricsPath and serialises writes of the file
    QString metricsPath;
    std::mutex metricsThreadLock;
    std::condition_variable metricsWake;
    bool metricsStop = false;
    std::thread metricsThread;

    std::mutex appendLock; // makes the caption test and the insert one step
    std::shared_ptr<ProcessRunner> processRunner;
    std::function<QDateTime()> clock;
    std::atomic<int> tickMs{1000};
    QString databasePath;
    std::atomic<int> stallTimeoutSeconds{600};
    QString sshControlDirectory;
    // Progress of a run over several stages (guarded by progressLock): the
    // bytes of the stages before the current one and the run's expected size.
    qint64 stageBase = 0;
    qint64 runTotal = 0;
    ReplicationResult replicationResult; // guarded by progressLock
    Compressor::Settings compression; // set by loadConfigure before start
};
