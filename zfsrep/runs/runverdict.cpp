#include "runverdict.h"

namespace RunVerdict {

QString outcome(bool succeeded, bool stopping, const QString &transferOutcome, bool cancelRequested)
{
    if (succeeded)
        return QStringLiteral("succeeded");
    if (stopping)
        return QStringLiteral("interrupted");
    if (!transferOutcome.isEmpty() && transferOutcome != QLatin1String("running"))
        return transferOutcome;
    if (cancelRequested)
        return QStringLiteral("cancelled");
    return QStringLiteral("failed");
}

QString missionState(const MissionFacts &facts)
{
    if (facts.running)
        return QStringLiteral("running");
    if (facts.waiting)
        return QStringLiteral("waiting");
    if (!facts.problem.isEmpty())
        return QStringLiteral("failed");
    const bool lastFailed = !facts.lastOutcome.isEmpty() && facts.lastOutcome != QLatin1String("succeeded")
                            && facts.lastOutcome != QLatin1String("running");
    // A failed last run shows as failed even when its schedule armed the
    // next attempt (nextrun says when that is).
    if (lastFailed)
        return QStringLiteral("failed");
    // A done mission left in the due table is dropped by the next pass
    // without running.
    if (facts.done)
        return QStringLiteral("done");
    if (facts.armed)
        return QStringLiteral("armed");
    if (facts.lastOutcome == QLatin1String("succeeded"))
        return QStringLiteral("done");
    return QStringLiteral("pending");
}

} // namespace RunVerdict
