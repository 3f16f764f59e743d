#include "missionlisting.h"

#include "duetable.h"
#include "missionbook.h"
#include "runhistory.h"
#include "runverdict.h"
#include "scheduler.h"
#include "schedules.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2utils.h"

#include <QHash>

MissionListing::MissionListing(MissionBook &missionBook, const DueTable &dueTable, const Scheduler &runScheduler,
                               RunHistory &runHistory, std::function<QDateTime()> clockFunction)
    : book(missionBook), due(dueTable), scheduler(runScheduler), history(runHistory), clock(std::move(clockFunction))
{
}

bool MissionListing::list(TQ2Journals &journals, QJsonObject &result, int page, int ofpage)
{
    // The rows are changed in place and moved into the answer: no row is
    // copied between the statement and the answer.
    QList<QJsonObject> rows;
    if (!book.rows(journals, rows, page, ofpage))
        return false;
    // Missions often share one schedule list: each distinct text is parsed
    // once per listing and its array shared by the rows that hold it.
    QHash<QString, QJsonArray> schedules;
    QJsonArray records;
    const QJsonObject progress = scheduler.progress();
    const int running = toInt(progress.value(QStringLiteral("msnno")));
    for (QJsonObject &row : rows) {
        const QString text = row.value(QStringLiteral("schedules")).toString();
        auto parsed = schedules.constFind(text);
        if (parsed == schedules.constEnd())
            parsed = schedules.insert(text, toJsonArray(text));
        row.insert(QStringLiteral("schedules"), parsed.value());
        if (running != 0 && toInt(row.value(QStringLiteral("msnno"))) == running) {
            for (const QString &key : {QStringLiteral("speed"), QStringLiteral("rate"), QStringLiteral("bytes"),
                                       QStringLiteral("total"), QStringLiteral("eta")}) {
                if (progress.contains(key))
                    row.insert(key, progress.value(key));
                else
                    row.remove(key);
            }
        }
        records.append(std::move(row));
    }
    rows.clear();
    if (!addRunFields(journals, records))
        return false;
    result.insert(QStringLiteral("records"), records);
    return true;
}

bool MissionListing::addRunFields(TQ2Journals &journals, QJsonArray &records)
{
    QHash<int, RunRecord> latest;
    if (!history.latest(latest)) {
        journals.add(QStringLiteral("MissionListing::addRunFields"), TQ2Error::ERR_SQLERROR, QStringLiteral("run_latest"),
                     false, history.lastError(), QString());
        journals.setErr(TQ2Error::ERR_SQLERROR, history.lastError());
        return false;
    }
    const QHash<int, qint64> dueTimes = due.entries();
    const int running = toInt(scheduler.progress().value(QStringLiteral("msnno")));
    // "Next pass" entries (0: run now, 1: when the minute ends) show the
    // moment the scheduler will take them.
    const qint64 nowSeconds = clock().toSecsSinceEpoch();
    const qint64 nextMinute = (nowSeconds / 60 + 1) * 60;
    for (int i = 0; i < records.size(); ++i) {
        QJsonObject row = records.at(i).toObject();
        const int msnno = toInt(row.value(QStringLiteral("msnno")));
        const RunRecord last = latest.value(msnno);
        const auto entry = dueTimes.constFind(msnno);
        qint64 nextrun = 0;
        if (entry != dueTimes.constEnd())
            nextrun = entry.value() == DueTable::kNow ? nowSeconds : entry.value() == DueTable::kNextPass ? nextMinute : entry.value();
        if (nextrun >= kNeverDue)
            nextrun = 0;
        RunVerdict::MissionFacts facts;
        facts.running = msnno == running;
        facts.armed = nextrun != 0;
        facts.done = toBool(row.value(QStringLiteral("done")));
        facts.lastOutcome = last.outcome;
        facts.problem = due.problem(msnno);
        row.insert(QStringLiteral("state"), RunVerdict::missionState(facts));
        row.insert(QStringLiteral("nextrun"), nextrun);
        row.insert(QStringLiteral("lastrun"), last.started);
        row.insert(QStringLiteral("lastresult"), last.outcome);
        row.insert(QStringLiteral("lasterror"), facts.problem.isEmpty() ? last.error : facts.problem);
        records.replace(i, row);
    }
    return true;
}
