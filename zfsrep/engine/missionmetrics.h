// The metrics of the missions and the scheduler as Prometheus text (the
// zfsrep_metrics method and the metrics file): per mission its runs by
// outcome, bytes, last success, schedule period and whether it runs now.
// Reads the parts; changes nothing. Any thread.
#pragma once

#include <QDateTime>
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

private:
    MissionBook &book;
    const Scheduler &scheduler;
    RunHistory &history;
    std::function<QDateTime()> clock;
};
