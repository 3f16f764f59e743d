#include "retentionstep.h"

#include "ownsnapshots.h"
#include "run.h"
#include "runservices.h"
#include "snapshotpruner.h"
#include "tq2print.h"
#include "zfscommands.h"

namespace {

// The rule of `key` from `text`; an unreadable one is journaled and empty.
RetentionRule ruleOf(Run &run, const QString &key, const QString &text)
{
    RetentionRule rule;
    QString error;
    if (!RetentionRule::parse(text, rule, error))
        run.journals().add(TQ2PLACE(), QStringLiteral("prune by ") + key, false,
                           key + QStringLiteral(": ") + error + QStringLiteral(" (nothing pruned on this side)"),
                           QString());
    return rule;
}

} // namespace

namespace RetentionStep {

bool hasSourceRule(const Run &run) { return !run.mission().keepSource.trimmed().isEmpty(); }

bool hasTargetRule(const Run &run) { return !run.mission().keepTarget.trimmed().isEmpty(); }

void prune(Run &run, const RunServices &services, const ReplicationSide &source, const ReplicationSide *target,
           const QString &targetDataset, const QString &base)
{
    pruneTree(run, services, source, run.mission().dataset(), target, targetDataset, base);
}

void pruneTree(Run &run, const RunServices &services, const ReplicationSide &source, const QString &sourceDataset,
               const ReplicationSide *target, const QString &targetDataset, const QString &base)
{
    const Mission &mission = run.mission();
    if (run.isCancelled() || (!hasSourceRule(run) && (!target || !hasTargetRule(run))))
        return;
    PruneRequest request;
    request.series = mission.snapname;
    request.mark = OwnSnapshots::mark(services.settings.instance, mission.msnno);
    request.sourceRule = ruleOf(run, QStringLiteral("keepsource"), mission.keepSource);
    if (target)
        request.targetRule = ruleOf(run, QStringLiteral("keeptarget"), mission.keepTarget);
    if (request.sourceRule.isEmpty() && request.targetRule.isEmpty())
        return;
    PruneCounts counts;
    SnapshotPruner(source, sourceDataset, target, targetDataset, ZfsCommands::holdTag(mission.msnno))
        .prune(run.journals(), request, base, counts);
    run.notePruned(counts.source, counts.target);
}

} // namespace RetentionStep
