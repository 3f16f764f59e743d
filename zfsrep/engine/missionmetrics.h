// The metrics of the missions and the scheduler as Prometheus text (the
// zfsrep_metrics method and the metrics file): per mission its runs by
// outcome, bytes, last success, schedule period and whether it runs now.
// Reads the parts; changes nothing. Any thread.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QString>

#include <functional>

class MissionBook;
class RunHistory;
class Scheduler;
class TQ2Journals;

class MissionMetrics
{
public:
    MissionMetrics(MissionBook &book, const Scheduler &scheduler, RunHistory &history,
                   std::function<QDateTime()> clock);

    // False (journaled, ERR_SQLERROR) when the store could not be read.
    bool text(TQ2Journals &journals, QString &text);

    // Seconds between the next two moments the schedules name after
    // `start`; 0 when there are none (an unscheduled mission) or no second
    // one within the search.
    static qint64 schedulePeriod(const QJsonArray &schedules, const QDateTime &start);

private:
    MissionBook &book;
    const Scheduler &scheduler;
    RunHistory &history;
    std::function<QDateTime()> clock;
};
