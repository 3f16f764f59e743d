// Carries out the replication of a dataset tree between two sides until the
// target holds the source's newest snapshot (or the bound one) on every
// dataset of the tree: lists both trees, asks the tree planner for the next
// step, runs the stream it chose, lists the target again and goes on. Success
// is what the target's listing shows, never an exit code or a byte count. A
// stale resume token is aborted on its dataset and the run plans again. A
// refusal fails the run with the planner's reason; nothing is destroyed or
// rolled back.
// Used from the scheduler thread; reports into the caller's journal.
#pragma once

#include "replicationside.h"
#include "stageoutcome.h"
#include "treeplanner.h"
#include "zfscommands.h"

#include <functional>

class TQ2Journals;

struct ReplicationJob {
    const ReplicationSide *source = nullptr;
    QString sourceDataset;
    const ReplicationSide *target = nullptr;
    QString targetDataset;
    ZfsCommands::ReceiveMode receiveMode = ZfsCommands::ReceiveMode::Replica;
    bool raw = false;
    // Send up to this source snapshot (short name) rather than the newest;
    // a bound that does not exist fails the run.
    QString bound;
    // false: an incremental stream carries the base and the snapshot only
    // (-i), none of the snapshots between them.
    bool intermediates = true;
    qint64 rateLimit = 0;
};

struct ReplicationResult {
    // Whether the target holds the run's snapshot, as its listing showed.
    enum class Reached { Unknown, No, Yes };

    QString kind;   // of the first stream: full, incremental or resume ("" when nothing was sent)
    QString base;   // the incremental base, short name ("#name" for a bookmark)
    QString target; // the snapshot the target holds at the end, short name
    qint64 bytes = 0;
    bool stalled = false;
    bool cancelled = false;
    QString reason; // the planner's reason of the last plan
    Reached reached = Reached::Unknown;
};

class Replicator
{
public:
    // Runs one stream: the pipeline text, the expected size in bytes of what
    // it sends, and the bytes of that stream the target already holds (a
    // resumed stream's offset; 0 otherwise).
    using StreamStage =
        std::function<StageOutcome(const QString &pipeline, qint64 size, qint64 resumedBytes, const QString &kind)>;

    explicit Replicator(StreamStage streamStage) : stage(std::move(streamStage)) {}

    bool run(TQ2Journals &journals, const ReplicationJob &job, ReplicationResult &result);

private:
    bool listSource(TQ2Journals &journals, const ReplicationJob &job, TreeListing &source);
    // `lacking`: full names of the datasets the send may warn about.
    bool sizeOf(TQ2Journals &journals, const ReplicationJob &job, const ZfsCommands::SendSpec &spec,
                const QStringList &lacking, qint64 &size, qint64 &resumedBytes, bool &staleToken);
    // After a failed stream: whether the target holds the run's snapshot.
    void noteReached(const ReplicationJob &job, const TreeListing &source, ReplicationResult &result);

    StreamStage stage;
};
