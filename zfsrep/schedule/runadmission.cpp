#include "runadmission.h"

namespace RunAdmission {

namespace {

Decision waits(const QString &reason) { return Decision{false, reason}; }

} // namespace

Decision slotFree(const RunLimits &limits, int going)
{
    if (going >= limits.maxParallel)
        return waits(QStringLiteral("all %1 run slots are taken (maxparallel)").arg(limits.maxParallel));
    return Decision{true, QString()};
}

Decision decide(const RunLimits &limits, const QList<Going> &going, const RunFootprint &candidate)
{
    const Decision slot = slotFree(limits, going.size());
    if (!slot.start)
        return slot;
    if (!candidate.endpoint.isEmpty()) {
        int toEndpoint = 0;
        for (const Going &run : going) {
            if (run.footprint.endpoint == candidate.endpoint)
                ++toEndpoint;
        }
        if (toEndpoint >= limits.maxPerHost)
            return waits(QStringLiteral("%1 run(s) to %2 already go (maxperhost)").arg(toEndpoint).arg(candidate.endpoint));
    }
    for (const Going &run : going) {
        if (run.footprint.overlapsLocally(candidate))
            return waits(QStringLiteral("overlaps the tree of mission %1 on this machine (%2)")
                             .arg(run.msnno)
                             .arg(run.footprint.localTree));
        if (run.footprint.overlapsRemotely(candidate))
            return waits(QStringLiteral("overlaps the tree of mission %1 on %2 (%3)")
                             .arg(run.msnno)
                             .arg(candidate.endpoint, run.footprint.remoteTree));
    }
    return Decision{true, QString()};
}

} // namespace RunAdmission
