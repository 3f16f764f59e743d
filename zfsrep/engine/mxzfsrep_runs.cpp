// Run records and event records of the scheduler's runs, the mission
// listing's run fields and the run history behind zfsrep_mission_history.
#include "mxzfsrep.h"

#include "missionfields.h"
#include "qmtarnlog.h"
#include "runhistory.h"
#include "runverdict.h"
#include "schedules.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

void MXZfsrep::beginRun(int msnno, const QJsonObject &mission, int action)
{
    RunRecord run;
    run.msnno = msnno;
    run.caption = MissionFields::text(mission, "caption");
    run.action = action;
    run.started = now().toSecsSinceEpoch();
    if (!history->begin(run))
        TQ2TRACE("history->lastError()", history->lastError());
    std::lock_guard<std::mutex> lock(progressLock);
    currentRun = run;
    currentRun.outcome = QStringLiteral("running");
}

void MXZfsrep::finishRun(bool succeeded, const TQ2Journals &journals)
{
    RunRecord run;
    {
        std::lock_guard<std::mutex> lock(progressLock);
        run = currentRun;
        currentRun = RunRecord();
    }
    run.ended = now().toSecsSinceEpoch();
    run.outcome = RunVerdict::outcome(succeeded, stopping.load(), run.outcome, cancelRequested.load());
    run.error = succeeded ? QString() : journalError(journals);
    const qint64 seconds = run.ended - run.started;
    run.rate = seconds > 0 ? run.bytes / seconds : run.bytes;
    if (run.runno > 0 && !history->finish(run))
        TQ2TRACE("history->lastError()", history->lastError());
}

QString MXZfsrep::journalError(const TQ2Journals &journals)
{
    if (!journals.errmsg().trimmed().isEmpty())
        return journals.errmsg().trimmed();
    const QJsonArray segments = journals.segments();
    for (int i = segments.size() - 1; i >= 0; --i) {
        const QJsonObject entry = segments.at(i).toObject();
        if (entry.contains(QStringLiteral("success")) && !toBool(entry.value(QStringLiteral("success")))
            && !entry.value(QStringLiteral("msg")).toString().trimmed().isEmpty())
            return entry.value(QStringLiteral("msg")).toString().trimmed();
    }
    return QString();
}

void MXZfsrep::writeEvent(bool result, const QString &symbol, const QString &dataset, const QString &direction,
                          const QJsonObject &mission, int action, const QString &from, const QString &to)
{
    QJsonObject detail{
        {QStringLiteral("caption"), mission.value(QStringLiteral("caption"))},
        {QStringLiteral("action"), action},
        {QStringLiteral("from"), from},
        {QStringLiteral("to"), to},
        {QStringLiteral("result"), result ? 1 : 0},
    };
    if (!result && activeJournals)
        detail.insert(QStringLiteral("error"), journalError(*activeJournals));
    const QString message = symbol + QStringLiteral(": ") + dataset + direction + MissionFields::text(mission, "path");
    tarnlog->write(result ? QStringLiteral("Information") : QStringLiteral("Error"), message, detail, kApplication,
                   QStringLiteral("SYSTEM"), QString(), QString());
}

QString MXZfsrep::storedMissionProblem(const QJsonObject &row) const
{
    // The one place where a stored mission's reason not to run is read: the
    // validation of stored rows done when they are loaded or changed.
    return missionProblem(toInt(row.value(QStringLiteral("msnno"))));
}

void MXZfsrep::noteRun(const QString &kind, qint64 bytes, const QString &base, const QString &target,
                       const QString &outcome)
{
    std::lock_guard<std::mutex> lock(progressLock);
    if (currentRun.msnno == 0)
        return; // a transfer called outside the scheduler
    if (!kind.isEmpty())
        currentRun.kind = kind;
    currentRun.bytes = bytes;
    currentRun.base = base;
    currentRun.target = target;
    if (!outcome.isEmpty())
        currentRun.outcome = outcome;
}

bool MXZfsrep::addRunFields(TQ2Journals &journals, QJsonArray &records)
{
    QHash<int, RunRecord> latest;
    if (!history->latest(latest)) {
        journalDatabaseFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, database->lastError());
        return false;
    }
    const QHash<int, qint64> due = dueTimes();
    const int running = toInt(progress().value(QStringLiteral("msnno")));
    // "Next pass" entries (0: run now, 1: when the minute ends) show the
    // moment the scheduler will take them.
    const qint64 nowSeconds = now().toSecsSinceEpoch();
    const qint64 nextMinute = (nowSeconds / 60 + 1) * 60;
    for (int i = 0; i < records.size(); ++i) {
        QJsonObject row = records.at(i).toObject();
        const int msnno = toInt(row.value(QStringLiteral("msnno")));
        const RunRecord last = latest.value(msnno);
        const auto entry = due.constFind(msnno);
        qint64 nextrun = 0;
        if (entry != due.constEnd())
            nextrun = entry.value() == 0 ? nowSeconds : entry.value() == 1 ? nextMinute : entry.value();
        if (nextrun >= kNeverDue)
            nextrun = 0;
        RunVerdict::MissionFacts facts;
        facts.running = msnno == running;
        facts.armed = nextrun != 0;
        facts.done = toBool(row.value(QStringLiteral("done")));
        facts.lastOutcome = last.outcome;
        facts.problem = storedMissionProblem(row);
        row.insert(QStringLiteral("state"), RunVerdict::missionState(facts));
        row.insert(QStringLiteral("nextrun"), nextrun);
        row.insert(QStringLiteral("lastrun"), last.started);
        row.insert(QStringLiteral("lastresult"), last.outcome);
        row.insert(QStringLiteral("lasterror"), facts.problem.isEmpty() ? last.error : facts.problem);
        records.replace(i, row);
    }
    return true;
}

bool MXZfsrep::missionHistory(TQ2Journals &journals, QJsonArray &runs, int msnno, int limit)
{
    QList<RunRecord> records;
    if (!history->list(records, msnno, limit)) {
        journalDatabaseFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, database->lastError());
        return false;
    }
    for (const RunRecord &run : records)
        runs.append(run.toJson());
    return true;
}
