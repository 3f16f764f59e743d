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
//
// Threads: RPC connection threads call the mission, schedule and query
// operations; the scheduler thread runs the transfers. The due-time table is
// guarded by the missions lock, the progress object by the progress lock;
// the two are never held together and never while a statement or a child
// process runs. Operations report into the caller's TQ2Journals.
#pragma once

#include "compressor.h"
#include "processrunner.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class QmTarnlog;
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
    bool transferChange(TQ2Journals &journals, const QJsonObject &mission);
    bool transferRemove(TQ2Journals &journals, int msnno);
    // result["records"]: every mission (paging is not applied), with the
    // running mission's "speed" and "rate" merged in.
    bool transferAlload(TQ2Journals &journals, QJsonObject &result, int page, int ofpage);
    bool transferLogAlload(TQ2Journals &journals, QJsonArray &records, int page, int ofpage);
    bool transferLogClear(TQ2Journals &journals);

    // ---- due times (any thread; take the missions lock themselves) ----
    bool addSchedules(int msnno, const QJsonArray &schedules);
    bool removeSchedules(int msnno);

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

    // ---- seams for tests and the testbed ----
    void setRunner(std::shared_ptr<ProcessRunner> runner);
    // The clock that schedules and the scheduler read (local time).
    void setClock(std::function<QDateTime()> clock);
    // How long the idle scheduler sleeps between looks at the clock.
    void setTickInterval(int ms);
    void setDatabasePath(const QString &path);
    void setEventLogPath(const QString &path);
    TQ2DBSqlite &db() { return *database; }
    QmTarnlog &eventLog() { return *tarnlog; }

private:
    struct StageOutcome {
        bool started = false;
        bool succeeded = false;
        bool cancelled = false;
        QString errorText; // the failing tool's message
    };
    // Runs one transfer stage: the pipeline under `script` with SSHPASS (when
    // a password is given) and SHELL=/bin/bash in its environment, watched in
    // steps of kStageStepMs. After each step the output that arrived is
    // appended to a progress buffer (a fresh one per step when
    // `freshBufferEachStep`) and `onStep` is called with it. A set cancel
    // flag terminates the stage, which then counts as failed.
    StageOutcome runStage(const QString &pipeline, const QString &password, bool freshBufferEachStep,
                          const std::function<void(QByteArray &)> &onStep);
    // Receives the remote snapshots the mission names into `target`, full
    // stream first, then the incremental one; no mount step.
    bool pullSnapshots(TQ2Journals &journals, const QJsonObject &mission, const QString &target);
    // Mount step: "/mnt/" + dataset made (one level), then its mount point set.
    void mountUnderMnt(const QString &dataset) const;
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
    // Removes the series' snapshots older than `newest`.
    void eraseOlderSeries(TQ2Journals &journals, const QString &dataset, const QString &series,
                          const QString &newest);

    // Runs one collected mission and records its outcome; receive and restore
    // missions that succeeded are added to `completed`.
    void runMission(int msnno, QList<int> &completed);
    QDateTime now() const;
    ProcessRunner &runner() const { return *processRunner; }
    // Journals a failed statement: place, the statement id, SQLite's message.
    void journalDatabaseFailure(TQ2Journals &journals, const QString &place) const;
    // Sets the due time of a mission to "next pass" and the minute marker to
    // the current minute, so it runs when the current minute ends.
    void armForNextPass(int msnno);
    // Writes "speed" and "rate" into the progress object in one lock.
    void publishProgress(const QString &speed, int rate);
    // One event-log record of a finished transfer.
    void writeEvent(bool result, const QString &symbol, const QString &dataset, const QString &direction,
                    const QJsonObject &mission, int action, const QString &from, const QString &to);
    // Refuses a host or user id that could change the ssh command
    // (ERR_PARAMS "参数无效: host"/"参数无效: userid").
    bool checkEndpoint(TQ2Journals &journals, const QString &host, const QString &userid) const;

    std::unique_ptr<TQ2DBSqlite> database;
    mutable std::mutex missionsLock;
    QHash<int, qint64> dueTable;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<int> minuteMarker{0};
    std::atomic<bool> cancelled{false};
    std::unique_ptr<QmTarnlog> tarnlog;
    mutable std::mutex progressLock;
    QJsonObject progressObject;

    std::mutex appendLock; // makes the caption test and the insert one step
    std::shared_ptr<ProcessRunner> processRunner;
    std::function<QDateTime()> clock;
    std::atomic<int> tickMs{1000};
    QString databasePath;
    Compressor::Settings compression; // set by loadConfigure before start
};
