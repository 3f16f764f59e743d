#include "replicator.h"

#include "commandreport.h"
#include "replicationoutput.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfsoutput.h"

using namespace ZfsCommands;

namespace {

// A tree of N datasets needs at most a resume and a completing stream per
// dataset and one stream of the tree; anything beyond that is a loop.
int roundsFor(const TreeListing &source) { return 2 * source.datasets.size() + 4; }

QString datasetOf(const QString &top, const QString &relative)
{
    return relative.isEmpty() ? top : top + QLatin1Char('/') + relative;
}

} // namespace

bool Replicator::sizeOf(TQ2Journals &journals, const ReplicationJob &job, const SendSpec &spec,
                        const QStringList &lacking, qint64 &size, qint64 &resumedBytes, bool &staleToken)
{
    staleToken = false;
    const ProcessOutcome outcome = job.source->run(sendSizeArgs(spec));
    // Datasets of the tree the plan knows to lack the snapshot are warned
    // about (status 1); the estimate of the others is whole.
    const bool onlyLacking = outcome.started && outcome.finished && !outcome.crashed && !outcome.cancelled
                             && !outcome.overflowed && outcome.exitCode == 1
                             && ReplicationOutput::onlyMissingSnapshotWarnings(
                                 ZfsOutput::decode(outcome.standardError), lacking);
    if (outcome.succeeded() || onlyLacking) {
        size = ZfsOutput::sendSize(outcome.standardOutput);
        resumedBytes = spec.token.isEmpty() ? 0 : ZfsOutput::resumedBytes(outcome.standardOutput);
        return true;
    }
    const QString error = CommandReport::errorText(outcome);
    if (!spec.token.isEmpty() && outcome.started && outcome.finished && ReplicationOutput::isStaleToken(error)) {
        staleToken = true;
        journals.add(TQ2PLACE(), QStringLiteral("stale resume token"), false, error, QString());
        return false;
    }
    CommandReport::commandFailed(journals, TQ2PLACE(), job.source->label() + commandText(kZfs, sendSizeArgs(spec)), error);
    return false;
}

bool Replicator::listSource(TQ2Journals &journals, const ReplicationJob &job, TreeListing &source)
{
    if (!job.source->listTree(journals, job.sourceDataset, source))
        return false;
    if (!source.exists()) {
        journals.add(TQ2PLACE(), TQ2Error::ERR_NOT_EXISTS, QStringLiteral("list"), false,
                     QStringLiteral("cannot open '%1%2': dataset does not exist").arg(job.source->label(), job.sourceDataset),
                     QString());
        return false;
    }
    if (job.bound.isEmpty())
        return true;
    bool found = false;
    for (const SnapshotInfo &snapshot : source.top().snapshots)
        found = found || snapshot.name == job.bound;
    if (!found) {
        journals.add(TQ2PLACE(), TQ2Error::ERR_NOT_EXISTS, QStringLiteral("list"), false,
                     QStringLiteral("snapshot %1%2@%3 does not exist").arg(job.source->label(), job.sourceDataset, job.bound),
                     QString());
        return false;
    }
    source = TreePlanner::upTo(source, job.bound);
    return true;
}

void Replicator::noteReached(const ReplicationJob &job, const TreeListing &source, ReplicationResult &result)
{
    const QList<SnapshotInfo> snapshots = source.top().snapshots;
    TreeListing target;
    TQ2Journals probe; // a failure to look keeps Unknown; the run's journal keeps its own error
    if (snapshots.isEmpty() || !job.target->listTree(probe, job.targetDataset, target))
        return;
    // A receive of it that was cut and waits to be resumed counts as
    // reached: the snapshot is the resume's source and must stay.
    bool pending = false;
    for (const DatasetListing &listing : target.datasets)
        pending = pending || !listing.resumeToken.isEmpty();
    result.reached = pending || TreePlanner::holds(source, target, snapshots.last().name) ? ReplicationResult::Reached::Yes
                                                                                          : ReplicationResult::Reached::No;
}

bool Replicator::run(TQ2Journals &journals, const ReplicationJob &job, ReplicationResult &result)
{
    TreeListing source;
    if (!listSource(journals, job, source))
        return false;
    TreeListing target;
    if (!job.target->listTree(journals, job.targetDataset, target))
        return false;
    // A base the source lost may live on in a bookmark: listed only then.
    // Without the listing the planner decides as it would without bookmarks.
    TQ2Journals bookmarkListing;
    if (TreePlanner::wantsBookmarks(source, target)
        && !job.source->listBookmarks(bookmarkListing, job.sourceDataset, source))
        journals.add(TQ2PLACE(), QStringLiteral("list bookmarks"), false, bookmarkListing.errmsg(), QString());
    const int rounds = roundsFor(source);
    for (int round = 0; round < rounds; ++round) {
        const TreeStep step = TreePlanner::next(source, target);
        result.reason = step.reason;
        if (step.action == TreeStep::Refuse) {
            const QList<SnapshotInfo> sent = source.top().snapshots;
            result.reached = !sent.isEmpty() && TreePlanner::holds(source, target, sent.last().name)
                                 ? ReplicationResult::Reached::Yes
                                 : ReplicationResult::Reached::No;
            journals.add(TQ2PLACE(), TQ2Error::ERR_CONFLICT, QStringLiteral("plan"), false,
                         QStringLiteral("%1%2 cannot be replicated to %3%4: %5")
                             .arg(job.source->label(), job.sourceDataset, job.target->label(), job.targetDataset, step.reason),
                         QString());
            return false;
        }
        journals.add(TQ2PLACE(), QStringLiteral("plan ") + (step.action == TreeStep::Done ? QStringLiteral("done") : step.plan.kind()),
                     true, step.reason, QString());
        if (step.action == TreeStep::Done) {
            // The target was listed after the last stream: every dataset of
            // the tree holds the snapshot with the source's guid.
            result.target = step.plan.target;
            result.reached = ReplicationResult::Reached::Yes;
            return true;
        }

        const ReplicationPlan &plan = step.plan;
        const QString sourceDataset = datasetOf(job.sourceDataset, step.relative);
        const QString targetDataset = datasetOf(job.targetDataset, step.relative);
        SendSpec spec;
        spec.raw = job.raw;
        spec.recursive = step.recursive;
        spec.intermediates = job.intermediates;
        if (plan.action == ReplicationPlan::Resume) {
            spec.token = plan.token;
        } else {
            spec.snapshot = sourceDataset + QLatin1Char('@') + plan.target;
            if (plan.action == ReplicationPlan::Incremental)
                spec.base = sourceDataset + QLatin1Char(plan.fromBookmark ? '#' : '@') + plan.base;
        }
        QStringList lacking;
        for (const QString &relative : step.lacking)
            lacking.append(datasetOf(job.sourceDataset, relative));
        qint64 size = 0;
        qint64 resumedBytes = 0;
        bool staleToken = false;
        if (!sizeOf(journals, job, spec, lacking, size, resumedBytes, staleToken)) {
            if (!staleToken)
                return false;
            // The snapshot the interrupted stream came from is gone: drop the
            // partial state and plan from what the target completed.
            if (!job.target->runReported(journals, TQ2PLACE(), abortReceiveArgs(targetDataset)))
                return false;
            if (!job.target->relistOne(journals, job.targetDataset, step.relative, target))
                return false;
            continue;
        }

        const QString pipeline = TransferCommands::stream(job.source->commandText(sendArgs(spec)),
                                                          TransferCommands::pvMeter(job.rateLimit),
                                                          job.target->commandText(receiveArgs(job.receiveMode, targetDataset)));
        if (result.kind.isEmpty())
            result.kind = plan.kind();
        if (plan.action == ReplicationPlan::Incremental && step.recursive)
            result.base = plan.base;
        else if (plan.fromBookmark && result.base.isEmpty())
            result.base = QLatin1Char('#') + plan.base;
        const StageOutcome outcome = stage(pipeline, size, resumedBytes, plan.kind());
        result.bytes += outcome.bytes;
        // A send that only warned about the datasets the plan knows to lack
        // the snapshot sent every other one; the listing below decides.
        const bool onlyLacking = !outcome.succeeded && !outcome.cancelled && !outcome.stalled && !lacking.isEmpty()
                                 && ReplicationOutput::onlyMissingSnapshotWarnings(outcome.errorText, lacking);
        if (onlyLacking)
            journals.add(TQ2PLACE(), QStringLiteral("send"), true,
                         QStringLiteral("not sent, they lack %1: %2").arg(plan.target, step.lacking.join(QStringLiteral(", "))),
                         QString());
        if (!outcome.succeeded && !onlyLacking) {
            result.stalled = outcome.stalled;
            result.cancelled = outcome.cancelled;
            CommandReport::commandFailed(journals, TQ2PLACE(), pipeline, outcome.errorText);
            if (!outcome.cancelled)
                noteReached(job, source, result);
            return false;
        }
        // A tree's stream may have changed any dataset of the tree; a
        // dataset's own stream only that one, which alone is listed again.
        const bool listed = step.recursive ? job.target->listTree(journals, job.targetDataset, target)
                                           : job.target->relistOne(journals, job.targetDataset, step.relative, target);
        if (!listed)
            return false;
    }
    journals.add(TQ2PLACE(), TQ2Error::ERR_FAILED, QStringLiteral("plan"), false,
                 QStringLiteral("replication of %1 did not converge: %2").arg(job.sourceDataset, result.reason), QString());
    return false;
}
