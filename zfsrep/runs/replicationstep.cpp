#include "replicationstep.h"

#include "run.h"
#include "stagerunner.h"

namespace ReplicationStep {

bool replicate(Run &run, StageRunner &stages, const ReplicationJob &job, const QString &password,
               ReplicationResult &result)
{
    // Bytes the streams before the current one moved, so the published
    // figures go on where the last stream stopped.
    qint64 moved = 0;
    Replicator replicator([&](const QString &pipeline, qint64 size, qint64 resumedBytes, const QString &) {
        run.progress().beginStage(moved + resumedBytes, moved + resumedBytes + size);
        const StageOutcome outcome = stages.metered(run, pipeline, password, size);
        moved += resumedBytes + outcome.bytes;
        return outcome;
    });
    const bool ok = replicator.run(run.journals(), job, result);
    // A pull is recorded as such unless it finished an interrupted stream.
    QString kind = result.kind;
    if (job.receiveMode == ZfsCommands::ReceiveMode::Staging && kind != QLatin1String("resume"))
        kind = QStringLiteral("pull");
    run.note(kind, result.bytes, result.base, result.target,
             result.stalled ? QStringLiteral("stalled") : result.cancelled ? QStringLiteral("cancelled") : QString());
    if (ok)
        run.progress().complete();
    return ok;
}

} // namespace ReplicationStep
