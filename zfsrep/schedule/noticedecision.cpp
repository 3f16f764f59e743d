#include "noticedecision.h"

namespace NoticeDecision {

bool isFailure(const QString &outcome)
{
    return outcome == QLatin1String("failed") || outcome == QLatin1String("stalled");
}

bool isSuccess(const QString &outcome) { return outcome == QLatin1String("succeeded"); }

QString lastVerdict(const QList<RunRecord> &earlier)
{
    for (const RunRecord &run : earlier) {
        if (isFailure(run.outcome) || isSuccess(run.outcome))
            return run.outcome;
    }
    return QString();
}

QString afterRun(const QString &outcome, const QString &previous, const NoticeSettings &settings)
{
    if (isFailure(outcome))
        return settings.wants(QStringLiteral("failure")) ? QStringLiteral("failure") : QString();
    if (!isSuccess(outcome))
        return QString();
    if (isFailure(previous) && settings.wants(QStringLiteral("recovery")))
        return QStringLiteral("recovery");
    return settings.wants(QStringLiteral("success")) ? QStringLiteral("success") : QString();
}

bool isStale(qint64 period, qint64 lastSuccess, qint64 since, qint64 now)
{
    if (period <= 0)
        return false;
    const qint64 from = lastSuccess > 0 ? lastSuccess : since;
    if (from <= 0)
        return false;
    return now - from >= 2 * period;
}

} // namespace NoticeDecision
