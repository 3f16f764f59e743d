// The metrics of the missions and the scheduler, as text for the
// zfsrep_metrics method and as the file named by the "metricsfile" key
// (written after every run and every minute).
#include "mxzfsrep.h"

#include "metricsfile.h"
#include "metricstext.h"
#include "runhistory.h"
#include "schedules.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

#include <chrono>

namespace {

// Seconds between the next two moments the schedules name; 0 when there
// are none (an unscheduled mission) or no second one within the search.
qint64 schedulePeriod(const QJsonArray &schedules, const QDateTime &start)
{
    if (schedules.isEmpty())
        return 0;
    const QDateTime first = nextSchedulesDateTime(schedules, start, start.date());
    if (!first.isValid() || toDueTime(first) >= kNeverDue)
        return 0;
    const QDateTime second = nextSchedulesDateTime(schedules, first, first.date());
    if (!second.isValid() || toDueTime(second) >= kNeverDue)
        return 0;
    const QDateTime ceiling(QDate(2099, 12, 31), QTime(0, 0));
    if (first >= ceiling || second >= ceiling)
        return 0;
    return first.secsTo(second);
}

} // namespace

void MXZfsrep::setMetricsPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(metricsLock);
    metricsPath = path;
}

bool MXZfsrep::metricsText(TQ2Journals &journals, QString &text)
{
    QJsonArray missions;
    QList<RunHistory::OutcomeTotal> totals;
    QHash<int, RunRecord> latest;
    if (!database->call(missions, QStringLiteral("mission_alload"), QJsonObject()) || !history->summary(totals)
        || !history->latest(latest)) {
        journalDatabaseFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, database->lastError());
        return false;
    }
    const int running = toInt(progress().value(QStringLiteral("msnno")));
    const QDateTime start = now();
    MetricsText::State state;
    state.lastPass = lastPass.load();
    for (const QJsonValue &value : missions) {
        const QJsonObject row = value.toObject();
        MetricsText::Mission mission;
        mission.msnno = toInt(row.value(QStringLiteral("msnno")));
        mission.caption = row.value(QStringLiteral("caption")).toString();
        mission.lastOutcome = latest.value(mission.msnno).outcome;
        mission.running = mission.msnno == running;
        mission.period = schedulePeriod(toJsonArray(row.value(QStringLiteral("schedules")).toString()), start);
        for (const RunHistory::OutcomeTotal &total : totals) {
            if (total.msnno != mission.msnno)
                continue;
            mission.runs.insert(total.outcome, total.runs);
            mission.bytes += total.bytes;
            if (total.outcome == QLatin1String("succeeded"))
                mission.lastSuccess = total.lastEnded;
        }
        state.missions.append(mission);
    }
    text = MetricsText::render(state);
    return true;
}

bool MXZfsrep::writeMetricsFile()
{
    std::lock_guard<std::mutex> lock(metricsLock);
    if (metricsPath.isEmpty())
        return true;
    TQ2Journals journals;
    QString text;
    QString error;
    if (!metricsText(journals, text)) {
        TQ2TRACE("journals.toObject()", journals.toObject());
        return false;
    }
    if (!MetricsFile::write(metricsPath, text, error)) {
        TQ2TRACE("error", error);
        return false;
    }
    return true;
}

void MXZfsrep::metricsLoop()
{
    std::unique_lock<std::mutex> lock(metricsThreadLock);
    while (!metricsStop) {
        lock.unlock();
        writeMetricsFile();
        lock.lock();
        metricsWake.wait_for(lock, std::chrono::seconds(60), [this] { return metricsStop; });
    }
}

void MXZfsrep::stopMetricsThread()
{
    {
        std::lock_guard<std::mutex> lock(metricsThreadLock);
        metricsStop = true;
    }
    metricsWake.notify_all();
    if (metricsThread.joinable())
        metricsThread.join();
}
