#include "mxzfsrep.h"

#include "exportleftovers.h"
#include "missionlisting.h"
#include "missionmetrics.h"
#include "missionvalidator.h"
#include "serviceinstance.h"
#include "sshcontrol.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

// The statement resources live in a static library: register them explicitly,
// since nothing else references the object that would register them.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(zfsrep);
        return true;
    }();
    Q_UNUSED(registered);
}

const QString MXZfsrep::kDatabasePath = QStringLiteral("/tarn/etc/zfs/zfsrep.db");

namespace {

// The parts read the clock through the engine's member, so a test's setClock
// reaches all of them.
std::function<QDateTime()> readerOf(const std::function<QDateTime()> &clock)
{
    return [&clock] { return clock(); };
}

// The scheduler's running and waiting missions, read at each call.
std::function<LiveRuns()> liveOf(const Scheduler &scheduler)
{
    return [&scheduler] { return scheduler.live(); };
}

} // namespace

MXZfsrep::MXZfsrep(QObject *parent)
    : QObject(parent),
      database(std::make_unique<TQ2DBSqlite>()),
      processRunner(std::make_shared<QProcessRunner>()),
      clock([] { return QDateTime::currentDateTime(); }),
      databasePath(kDatabasePath),
      book(*database),
      runHistory(std::make_unique<RunHistory>(*database)),
      due(readerOf(clock)),
      runExecutor([this]() -> ProcessRunner & { return *processRunner; }, runSettings, eventRecorder, readerOf(clock)),
      runScheduler(book, due, *runHistory, runExecutor, readerOf(clock),
                   [this](const Mission &mission, const RunRecord &record) {
                       metricsWriter.write();
                       missionNotices.runFinished(mission, record);
                   }),
      missionListing(book, due, liveOf(runScheduler), *runHistory, readerOf(clock)),
      metricsWriter([this](QString &text) {
          TQ2Journals journals;
          if (metricsText(journals, text))
              return true;
          TQ2TRACE("journals.toObject()", journals.toObject());
          return false;
      }),
      noticeSender([this]() -> ProcessRunner & { return *processRunner; }),
      missionNotices(book, *runHistory, noticeSender, readerOf(clock))
{
    registerResources();
    runSettings.sshControlDirectory = SshControl::defaultDirectory();
}

MXZfsrep::~MXZfsrep()
{
    runScheduler.shutdown(60000);
    metricsWriter.stop();
    noticeSender.stop();
}

bool MXZfsrep::loadConfigure(TQ2Journals &journals, const QJsonObject &config)
{
    const QJsonValue stall = config.value(QStringLiteral("stalltimeout"));
    if (!stall.isUndefined() && !stall.isNull())
        runSettings.stallTimeoutSeconds = qMax(0, toInt(stall));
    const QJsonValue share = config.value(QStringLiteral("sshshare"));
    if (!share.isUndefined() && !share.isNull() && !toBool(share))
        runSettings.sshControlDirectory.clear();
    const QString metricsFile = config.value(QStringLiteral("metricsfile")).toString().trimmed();
    if (!metricsFile.isEmpty())
        metricsWriter.setPath(metricsFile);
    runSettings.compression = Compressor::settingsFrom(config);
    runScheduler.setTracing(toBool(config.value(QStringLiteral("debugging"))));
    if (!database->isOpen()) {
        if (!book.open(journals, databasePath))
            return false;
        // Runs still marked running were cut short by a stop or a crash.
        if (!runHistory->markInterrupted(clock().toSecsSinceEpoch()))
            TQ2TRACE("runHistory->lastError()", runHistory->lastError());
        // Without an id the service's snapshots carry no owner mark and
        // count as a mission's own by their series name alone.
        if (!ServiceInstance::ensure(*database, runSettings.instance)) {
            TQ2TRACE("serviceInstance", runSettings.instance + QLatin1Char(' ') + database->lastError());
            runSettings.instance.clear();
        }
    }
    QList<QJsonObject> rows;
    if (!book.rows(journals, rows))
        return true;
    // Nothing runs yet: a partial export file is a leftover of a killed run.
    for (const QJsonObject &row : rows) {
        const Mission mission = Mission::fromRow(row);
        // A row that breaks the rules (a name that climbs out of its
        // directory) is not looked at: its place is not the export's.
        if (mission.action != Mission::Export || !MissionValidator::problem(row).isEmpty())
            continue;
        for (const QString &path : ExportLeftovers::remove(ExportLeftovers::placeOf(mission.path, mission.dataset())))
            TQ2TRACE("removedPartialExport", path);
    }
    for (const QJsonObject &row : rows) {
        const Mission mission = Mission::fromRow(row);
        if (mission.done)
            continue;
        // A row stored before the validation rules may break them: it stays
        // listed with its reason and is not armed.
        const QString problem = MissionValidator::problem(row);
        due.setProblem(mission.msnno, problem);
        if (problem.isEmpty())
            due.arm(mission.msnno, mission.schedules);
    }
    return true;
}

bool MXZfsrep::start(TQ2Journals &)
{
    runScheduler.start();
    metricsWriter.start();
    if (noticeSender.settings().isEnabled()) {
        noticeSender.setDelivered([this](const Notice &notice) { missionNotices.delivered(notice); });
        noticeSender.setPeriodic([this] { missionNotices.checkStale(); }, staleCheckMs);
        missionNotices.resendUnsent();
        noticeSender.start();
    }
    return true;
}

bool MXZfsrep::appendMission(TQ2Journals &journals, const QJsonObject &mission, int *appended)
{
    int msnno = 0;
    if (!book.append(journals, mission, msnno))
        return false;
    if (appended)
        *appended = msnno;
    const QJsonArray schedules = mission.value(QStringLiteral("schedules")).toArray();
    if (schedules.isEmpty())
        due.armForNextPass(msnno);
    else
        due.arm(msnno, schedules);
    return true;
}

bool MXZfsrep::changeMission(TQ2Journals &journals, const QJsonObject &mission)
{
    if (!book.change(journals, mission))
        return false;
    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    due.setProblem(msnno, QString()); // the change was checked before it was stored
    const QJsonArray schedules = mission.value(QStringLiteral("schedules")).toArray();
    if (schedules.isEmpty())
        due.armForNextPass(msnno);
    else
        due.arm(msnno, schedules);
    return true;
}

bool MXZfsrep::removeMission(TQ2Journals &journals, int msnno)
{
    // The fields the clean-up needs are read before the row goes.
    TQ2Journals lookup;
    QJsonObject row;
    const bool known = book.row(lookup, msnno, row);
    if (!book.remove(journals, msnno))
        return false;
    Mission removed = known ? Mission::fromRow(row) : Mission();
    removed.msnno = msnno;
    runScheduler.missionRemoved(msnno, removed);
    due.setProblem(msnno, QString());
    return true;
}

bool MXZfsrep::metricsText(TQ2Journals &journals, QString &text)
{
    return MissionMetrics(book, runScheduler, *runHistory, readerOf(clock)).text(journals, text);
}
