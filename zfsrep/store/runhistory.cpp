#include "runhistory.h"

#include "printabletext.h"
#include "tq2dbsqlite.h"
#include "tq2utils.h"

#include <QJsonArray>

namespace {

qint64 wholeNumber(const QJsonValue &value) { return static_cast<qint64>(value.toDouble()); }

// The error text as stored: its start, where a tool names what failed, up
// to kLongestError characters (a surrogate pair is not split).
QString cappedError(const QString &raw)
{
    // A tool's or remote host's message never drives the terminal that
    // shows it.
    const QString error = PrintableText::replaced(raw);
    if (error.size() <= RunHistory::kLongestError)
        return error;
    int keep = RunHistory::kLongestError;
    if (error.at(keep - 1).isHighSurrogate())
        --keep;
    return error.left(keep);
}

} // namespace

RunHistory::RunHistory(TQ2DBSqlite &database) : db(database) {}

RunRecord RunHistory::fromRow(const QJsonObject &row)
{
    RunRecord run;
    run.runno = wholeNumber(row.value(QStringLiteral("runno")));
    run.msnno = toInt(row.value(QStringLiteral("msnno")));
    run.caption = row.value(QStringLiteral("caption")).toString();
    run.action = toInt(row.value(QStringLiteral("action")));
    run.kind = row.value(QStringLiteral("kind")).toString();
    run.started = wholeNumber(row.value(QStringLiteral("started")));
    run.ended = wholeNumber(row.value(QStringLiteral("ended")));
    run.outcome = row.value(QStringLiteral("outcome")).toString();
    // Rows stored by earlier versions may hold control characters.
    run.error = PrintableText::replaced(row.value(QStringLiteral("error")).toString());
    run.bytes = wholeNumber(row.value(QStringLiteral("bytes")));
    run.rate = wholeNumber(row.value(QStringLiteral("rate")));
    run.base = row.value(QStringLiteral("base")).toString();
    run.target = row.value(QStringLiteral("target")).toString();
    run.notified = toBool(row.value(QStringLiteral("notified")));
    run.prunedSource = wholeNumber(row.value(QStringLiteral("prunedsource")));
    run.prunedTarget = wholeNumber(row.value(QStringLiteral("prunedtarget")));
    run.file = row.value(QStringLiteral("file")).toString();
    return run;
}

bool RunHistory::begin(RunRecord &run)
{
    run.outcome = QStringLiteral("running");
    const QJsonObject values{
        {QStringLiteral("msnno"), run.msnno},     {QStringLiteral("caption"), run.caption},
        {QStringLiteral("action"), run.action},   {QStringLiteral("kind"), run.kind},
        {QStringLiteral("started"), run.started}, {QStringLiteral("base"), run.base},
        {QStringLiteral("target"), run.target},
    };
    int changes = 0;
    int lastId = 0;
    if (!db.call(changes, lastId, QStringLiteral("run_begin"), values) || changes != 1)
        return false;
    run.runno = lastId;
    return true;
}

bool RunHistory::finish(const RunRecord &run)
{
    const QJsonObject values{
        {QStringLiteral("runno"), run.runno},     {QStringLiteral("kind"), run.kind},
        {QStringLiteral("ended"), run.ended},     {QStringLiteral("outcome"), run.outcome},
        {QStringLiteral("error"), cappedError(run.error)}, {QStringLiteral("bytes"), run.bytes},
        {QStringLiteral("rate"), run.rate},       {QStringLiteral("base"), run.base},
        {QStringLiteral("target"), run.target},
    };
    if (!db.call(QStringLiteral("run_finish"), values))
        return false;
    if ((run.prunedSource != 0 || run.prunedTarget != 0)
        && !db.call(QStringLiteral("run_pruned"),
                    QJsonObject{{QStringLiteral("runno"), run.runno},
                                {QStringLiteral("source"), run.prunedSource},
                                {QStringLiteral("target"), run.prunedTarget}}))
        return false;
    if (!run.file.isEmpty()
        && !db.call(QStringLiteral("run_file"),
                    QJsonObject{{QStringLiteral("runno"), run.runno}, {QStringLiteral("file"), run.file}}))
        return false;
    return db.call(QStringLiteral("run_prune"),
                   QJsonObject{{QStringLiteral("msnno"), run.msnno}, {QStringLiteral("keep"), kKeptPerMission}});
}

bool RunHistory::markNotified(qint64 runno)
{
    return db.call(QStringLiteral("run_notified"), QJsonObject{{QStringLiteral("runno"), runno}});
}

bool RunHistory::markInterrupted(qint64 now)
{
    return db.call(QStringLiteral("run_interrupt"), QJsonObject{{QStringLiteral("ended"), now}});
}

bool RunHistory::list(QList<RunRecord> &runs, int msnno, int limit)
{
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("run_list"),
                 QJsonObject{{QStringLiteral("msnno"), msnno}, {QStringLiteral("limit"), limit}}))
        return false;
    for (const QJsonValue &row : rows)
        runs.append(fromRow(row.toObject()));
    return true;
}

bool RunHistory::latest(QHash<int, RunRecord> &runs)
{
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("run_latest"), QJsonObject()))
        return false;
    for (const QJsonValue &row : rows) {
        const RunRecord run = fromRow(row.toObject());
        runs.insert(run.msnno, run);
    }
    return true;
}

bool RunHistory::summary(QList<OutcomeTotal> &totals)
{
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("run_summary"), QJsonObject()))
        return false;
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        OutcomeTotal total;
        total.msnno = toInt(row.value(QStringLiteral("msnno")));
        total.outcome = row.value(QStringLiteral("outcome")).toString();
        total.runs = wholeNumber(row.value(QStringLiteral("runs")));
        total.bytes = wholeNumber(row.value(QStringLiteral("bytes")));
        total.lastEnded = wholeNumber(row.value(QStringLiteral("lastended")));
        totals.append(total);
    }
    return true;
}

QString RunHistory::lastError() const { return db.lastError(); }
