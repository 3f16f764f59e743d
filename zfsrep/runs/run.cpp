#include "run.h"

#include "tq2utils.h"

#include <QJsonArray>

Run::Run(const Mission &mission, qint64 started) : missionRead(mission), published(mission.msnno, mission.action)
{
    runRecord.msnno = mission.msnno;
    runRecord.caption = mission.caption;
    runRecord.action = mission.action;
    runRecord.started = started;
    runRecord.outcome = QStringLiteral("running");
}

void Run::note(const QString &kind, qint64 bytes, const QString &base, const QString &target, const QString &outcome)
{
    std::lock_guard<std::mutex> guard(recordLock);
    if (!kind.isEmpty())
        runRecord.kind = kind;
    runRecord.bytes = bytes;
    runRecord.base = base;
    runRecord.target = target;
    if (!outcome.isEmpty())
        runRecord.outcome = outcome;
}

void Run::notePruned(int source, int target)
{
    std::lock_guard<std::mutex> guard(recordLock);
    runRecord.prunedSource = source;
    runRecord.prunedTarget = target;
}

void Run::noteFile(const QString &path)
{
    std::lock_guard<std::mutex> guard(recordLock);
    runRecord.file = path;
}

RunRecord Run::record() const
{
    std::lock_guard<std::mutex> guard(recordLock);
    return runRecord;
}

void Run::setRecord(const RunRecord &record)
{
    std::lock_guard<std::mutex> guard(recordLock);
    runRecord = record;
}

QString Run::errorText() const { return errorText(journal); }

QString Run::errorText(const TQ2Journals &journals)
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
