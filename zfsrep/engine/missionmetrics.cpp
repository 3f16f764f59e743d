#include "missionmetrics.h"

#include "metricstext.h"
#include "missionbook.h"
#include "runhistory.h"
#include "scheduler.h"
#include "schedules.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2utils.h"

MissionMetrics::MissionMetrics(MissionBook &missionBook, const Scheduler &runScheduler, RunHistory &runHistory,
                               std::function<QDateTime()> clockFunction)
    : book(missionBook), scheduler(runScheduler), history(runHistory), clock(std::move(clockFunction))
{
}

qint64 MissionMetrics::schedulePeriod(const QJsonArray &schedules, const QDateTime &start)
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

bool MissionMetrics::text(TQ2Journals &journals, QString &text)
{
    QList<QJsonObject> missions;
    QList<RunHistory::OutcomeTotal> totals;
    QHash<int, RunRecord> latest;
    if (!book.rows(journals, missions))
        return false;
    if (!history.summary(totals) || !history.latest(latest)) {
        journals.add(QStringLiteral("MissionMetrics::text"), TQ2Error::ERR_SQLERROR, QStringLiteral("run_summary"), false,
                     history.lastError(), QString());
        journals.setErr(TQ2Error::ERR_SQLERROR, history.lastError());
        return false;
    }
    const LiveRuns live = scheduler.live();
    const QDateTime start = clock();
    MetricsText::State state;
    state.lastPass = scheduler.heartbeat();
    for (const QJsonObject &row : missions) {
        MetricsText::Mission mission;
        mission.msnno = toInt(row.value(QStringLiteral("msnno")));
        mission.caption = row.value(QStringLiteral("caption")).toString();
        mission.lastOutcome = latest.value(mission.msnno).outcome;
        mission.running = live.progress.contains(mission.msnno);
        const auto record = live.records.constFind(mission.msnno);
        if (record != live.records.constEnd())
            mission.runStarted = record->started;
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
