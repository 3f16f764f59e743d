// The replication engine as the RPC layer and the application see it: it
// owns the parts and wires them, and does no transfer work itself.
//   MissionBook     the missions in the store (missions/)
//   DueTable        when each armed mission runs next (schedule/)
//   Scheduler       the thread that runs due missions, run now, cancel (schedule/)
//   RunExecutor     one run of a send, pull, export or restore (runs/)
//   LocalQueries, RemoteQueries   the zfs/zpool queries of the RPC methods (queries/)
//   RunHistory, EventRecorder, MetricsWriter   the ledger (store/)
//   NoticeSender, MissionNotices   the notices of runs and stale missions
// The operations here are the ones that touch several parts at once: the
// configuration, the mission changes that arm or disarm (and cancel a
// removed mission's run), the listing and the metrics.
//
// Threads: RPC connection threads call the mission, query and control
// operations; the scheduler thread starts the transfers, each in a Run of its
// own on a worker thread (as many at once as the run limits allow). Operations report into the caller's TQ2Journals.
#pragma once

#include "duetable.h"
#include "eventrecorder.h"
#include "localqueries.h"
#include "metricswriter.h"
#include "missionbook.h"
#include "missionlisting.h"
#include "missionnotices.h"
#include "noticesender.h"
#include "processrunner.h"
#include "remotequeries.h"
#include "runexecutor.h"
#include "runhistory.h"
#include "runservices.h"
#include "scheduler.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class TQ2DBSqlite;
class TQ2Journals;

class MXZfsrep : public QObject
{
    Q_OBJECT
public:
    static const QString kDatabasePath; // "/tarn/etc/zfs/zfsrep.db"

    explicit MXZfsrep(QObject *parent = nullptr);
    // Stops the scheduler (cancelling the running transfers) and the metrics
    // thread, then destroys the parts.
    ~MXZfsrep() override;

    // Reads the settings ("stalltimeout", "sshshare", "metricsfile",
    // "compresslevel", "compressthreads"), opens or creates the database,
    // marks runs cut short as interrupted, removes partial files of
    // interrupted exports and arms every pending mission. False only when
    // the database could not be opened.
    bool loadConfigure(TQ2Journals &journals, const QJsonObject &config);
    // Where notices go ("notify", read by the application); before start.
    void setNotices(const NoticeSettings &settings) { noticeSender.configure(settings); }
    // How often the notice thread looks for stale missions (tests).
    void setStaleCheckInterval(int ms) { staleCheckMs = ms; }
    NoticeSender &notices() { return noticeSender; }
    // Starts the scheduler, the metrics thread and, when notices are
    // configured, the notice thread (after queueing the failures whose
    // notice did not go out); always true. The graceful
    // end is scheduler().shutdown(): every running transfer is cancelled and
    // recorded.
    bool start(TQ2Journals &journals);

    // Stores a mission and arms it (its schedules, or the next pass).
    // `msnno`, when given, gets the new mission's number.
    bool appendMission(TQ2Journals &journals, const QJsonObject &mission, int *msnno = nullptr);
    // Stores a change and arms the mission from it; a run going on keeps the
    // mission it read and the next arming uses the change.
    bool changeMission(TQ2Journals &journals, const QJsonObject &mission);
    // Removes a mission: disarmed, and a run of it cancelled (no erase
    // after it, no arming).
    bool removeMission(TQ2Journals &journals, int msnno);
    // The mission listing over the parts (list() as JSON values, listJson()
    // as its compact text); one for the engine's life, as it keeps the
    // stored rows' text between listings.
    MissionListing &listing() { return missionListing; }
    // The Prometheus text of the missions and the scheduler.
    bool metricsText(TQ2Journals &journals, QString &text);

    MissionBook &missions() { return book; }
    DueTable &dueTable() { return due; }
    Scheduler &scheduler() { return runScheduler; }
    RunHistory &history() { return *runHistory; }
    EventRecorder &events() { return eventRecorder; }
    MetricsWriter &metrics() { return metricsWriter; }
    RunSettings &settings() { return runSettings; }
    // Queries on the current runner (no cancel token: RPC requests).
    LocalQueries localQueries() const { return LocalQueries(*processRunner); }
    RemoteQueries remoteQueries() const { return RemoteQueries(*processRunner); }

    ProcessRunner &runner() const { return *processRunner; }
    // What a mission kind uses besides its run, for work outside the
    // scheduler (the dry run of a mission); valid while the engine lives.
    RunServices runServices()
    {
        return RunServices{*processRunner, runSettings, eventRecorder, [this] { return clock(); }};
    }
    QDateTime now() const { return clock(); }

    // ---- seams for tests and the testbed (before start) ----
    void setRunner(std::shared_ptr<ProcessRunner> runner) { processRunner = std::move(runner); }
    // The clock that schedules and the scheduler read (local time).
    void setClock(std::function<QDateTime()> newClock) { clock = std::move(newClock); }
    void setDatabasePath(const QString &path) { databasePath = path; }
    TQ2DBSqlite &db() { return *database; }

private:
    std::unique_ptr<TQ2DBSqlite> database;
    std::shared_ptr<ProcessRunner> processRunner;
    std::function<QDateTime()> clock;
    QString databasePath;
    RunSettings runSettings;
    MissionBook book;
    std::unique_ptr<RunHistory> runHistory;
    EventRecorder eventRecorder;
    DueTable due;
    RunExecutor runExecutor;
    Scheduler runScheduler;
    MissionListing missionListing;
    MetricsWriter metricsWriter;
    NoticeSender noticeSender;
    MissionNotices missionNotices;
    int staleCheckMs = 60000;
};
