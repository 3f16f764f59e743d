#include "replicator.h"

#include "commandreport.h"
#include "replicationoutput.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfsoutput.h"

using namespace ZfsCommands;

namespace {

// A run resumes at most once, may abort one stale token and then sends one
// more stream; anything beyond that is a loop, not progress.
constexpr int kMaxRounds = 4;

} // namespace

bool Replicator::sizeOf(TQ2Journals &journals, const ReplicationJob &job, const SendSpec &spec, qint64 &size,
                        qint64 &resumedBytes, bool &staleToken)
{
    staleToken = false;
    const ProcessOutcome outcome = job.source->run(sendSizeArgs(spec));
    if (outcome.succeeded()) {
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

bool Replicator::run(TQ2Journals &journals, const ReplicationJob &job, ReplicationResult &result)
{
    DatasetListing source;
    if (!job.source->list(journals, job.sourceDataset, source))
        return false;
    if (!source.exists) {
        journals.add(TQ2PLACE(), TQ2Error::ERR_NOT_EXISTS, QStringLiteral("list"), false,
                     QStringLiteral("cannot open '%1%2': dataset does not exist").arg(job.source->label(), job.sourceDataset),
                     QString());
        return false;
    }
    if (!job.bound.isEmpty()) {
        int at = -1;
        for (int i = 0; i < source.snapshots.size() && at < 0; ++i) {
            if (source.snapshots.at(i).name == job.bound)
                at = i;
        }
        if (at < 0) {
            journals.add(TQ2PLACE(), TQ2Error::ERR_NOT_EXISTS, QStringLiteral("list"), false,
                         QStringLiteral("snapshot %1%2@%3 does not exist").arg(job.source->label(), job.sourceDataset, job.bound),
                         QString());
            return false;
        }
        source.snapshots = source.snapshots.mid(0, at + 1);
    }

    DatasetListing target;
    if (!job.target->list(journals, job.targetDataset, target))
        return false;
    for (int round = 0; round < kMaxRounds; ++round) {
        const ReplicationPlan plan = ReplicationPlanner::plan(source, target);
        result.reason = plan.reason;
        journals.add(TQ2PLACE(), QStringLiteral("plan ") + plan.kind(), true, plan.reason, QString());
        if (plan.action == ReplicationPlan::Refuse) {
            journals.add(TQ2PLACE(), TQ2Error::ERR_CONFLICT, QStringLiteral("plan"), false,
                         QStringLiteral("%1%2 cannot be replicated to %3%4: %5")
                             .arg(job.source->label(), job.sourceDataset, job.target->label(), job.targetDataset, plan.reason),
                         QString());
            return false;
        }
        if (plan.action == ReplicationPlan::Nothing) {
            result.target = plan.target;
            return true;
        }

        SendSpec spec;
        spec.raw = job.raw;
        if (plan.action == ReplicationPlan::Resume) {
            spec.token = plan.token;
        } else {
            spec.snapshot = job.sourceDataset + QLatin1Char('@') + plan.target;
            if (plan.action == ReplicationPlan::Incremental)
                spec.base = job.sourceDataset + QLatin1Char('@') + plan.base;
        }
        qint64 size = 0;
        qint64 resumedBytes = 0;
        bool staleToken = false;
        if (!sizeOf(journals, job, spec, size, resumedBytes, staleToken)) {
            if (!staleToken)
                return false;
            // The snapshot the interrupted stream came from is gone: drop the
            // partial state and plan from what the target completed.
            if (!job.target->runReported(journals, TQ2PLACE(), abortReceiveArgs(job.targetDataset)))
                return false;
            if (!job.target->list(journals, job.targetDataset, target))
                return false;
            continue;
        }

        const QString pipeline = TransferCommands::stream(job.source->commandText(sendArgs(spec)),
                                                          TransferCommands::pvMeter(job.rateLimit),
                                                          job.target->commandText(receiveArgs(job.receiveMode, job.targetDataset)));
        if (result.kind.isEmpty())
            result.kind = plan.kind();
        if (plan.action == ReplicationPlan::Incremental)
            result.base = plan.base;
        const StageOutcome outcome = stage(pipeline, size, resumedBytes, plan.kind());
        result.bytes += outcome.bytes;
        if (!outcome.succeeded) {
            result.stalled = outcome.stalled;
            result.cancelled = outcome.cancelled;
            CommandReport::commandFailed(journals, TQ2PLACE(), pipeline, outcome.errorText);
            return false;
        }
        if (plan.action != ReplicationPlan::Resume) {
            result.target = plan.target;
            return true;
        }
        if (!job.target->list(journals, job.targetDataset, target))
            return false;
    }
    journals.add(TQ2PLACE(), TQ2Error::ERR_FAILED, QStringLiteral("plan"), false,
                 QStringLiteral("replication of %1 did not converge").arg(job.sourceDataset), QString());
    return false;
}
