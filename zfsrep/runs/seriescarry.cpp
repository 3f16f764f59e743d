#include "seriescarry.h"

#include "carrychain.h"
#include "commandreport.h"
#include "ownsnapshots.h"
#include "replicationstep.h"
#include "retentioncommands.h"
#include "run.h"
#include "runservices.h"
#include "tq2journals.h"
#include "tq2print.h"

namespace SeriesCarry {

namespace {

// The own-mark listing of the source's top dataset, oldest first.
bool listSourceTop(Run &run, const ReplicationJob &job, QList<OwnedSnapshot> &top)
{
    const QStringList arguments = RetentionCommands::ownerTreeListArgs(job.sourceDataset);
    const ProcessOutcome listed = job.source->runLines(arguments, [&](const QByteArray &line) {
        QString relative;
        OwnedSnapshot snapshot;
        if (OwnerListing::line(line, job.sourceDataset, relative, snapshot) && relative.isEmpty())
            top.append(snapshot);
    });
    if (listed.succeeded())
        return true;
    CommandReport::commandFailed(run.journals(), TQ2PLACE(),
                                 job.source->label() + ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                 CommandReport::errorText(listed));
    return false;
}

} // namespace

bool replicate(Run &run, const RunServices &services, StageRunner &stages, ReplicationJob job,
               const QString &password, ReplicationResult &result)
{
    DatasetListing target;
    QList<OwnedSnapshot> source;
    if (!job.target->list(run.journals(), job.targetDataset, target) || !listSourceTop(run, job, source))
        return false;
    const Mission &mission = run.mission();
    const QStringList chain = CarryChain::steps(source, target.snapshots, mission.snapname,
                                                OwnSnapshots::mark(services.settings.instance, mission.msnno));
    if (chain.isEmpty())
        return ReplicationStep::replicate(run, stages, job, password, result);
    job.intermediates = false;
    ReplicationResult first;
    qint64 bytes = 0;
    bool ok = true;
    for (int i = 0; i < chain.size() && ok && !run.isCancelled(); ++i) {
        job.bound = chain.at(i);
        ok = ReplicationStep::replicate(run, stages, job, password, result);
        bytes += result.bytes;
        if (i == 0)
            first = result;
    }
    result.bytes = bytes;
    if (ok && run.isCancelled())
        ok = false;
    run.note(first.kind, bytes, first.base, result.target,
             result.stalled ? QStringLiteral("stalled") : result.cancelled ? QStringLiteral("cancelled") : QString());
    return ok;
}

} // namespace SeriesCarry
