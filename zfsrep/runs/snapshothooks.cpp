#include "snapshothooks.h"

#include "commandreport.h"
#include "printabletext.h"
#include "run.h"
#include "runservices.h"
#include "seriessnapshots.h"
#include "tq2journals.h"
#include "tq2print.h"

namespace {

// How long `post` may take once the run was cancelled: it still runs, so
// that what `pre` froze is thawed, but the stop is not held for long.
constexpr int kPostAfterCancelMs = 10000;

// The kinds that take a hook, as ZFSREP_KIND names them.
QString kindOf(int action)
{
    return action == Mission::Export ? QStringLiteral("export") : QStringLiteral("send");
}

QString commandText(const ProcessRequest &request)
{
    return (QStringList{request.program} + request.arguments).join(QLatin1Char(' '));
}

} // namespace

SnapshotHooks::SnapshotHooks(Run &owner, const RunServices &runServices) : run(owner), services(runServices) {}

ProcessRequest SnapshotHooks::request(const HookDefinition &hook, const QString &phase, const Mission &mission,
                                      const QString &snapshot)
{
    const QStringList &command = phase == QLatin1String("pre") ? hook.pre : hook.post;
    ProcessRequest request;
    request.program = command.value(0);
    request.arguments = command.mid(1);
    request.environment = {
        {QStringLiteral("ZFSREP_HOOK"), hook.name},
        {QStringLiteral("ZFSREP_PHASE"), phase},
        {QStringLiteral("ZFSREP_MISSION"), QString::number(mission.msnno)},
        {QStringLiteral("ZFSREP_CAPTION"), mission.caption},
        {QStringLiteral("ZFSREP_DATASET"), mission.dataset()},
        {QStringLiteral("ZFSREP_SNAPSHOT"), snapshot},
        {QStringLiteral("ZFSREP_KIND"), kindOf(mission.action)},
        {QStringLiteral("LC_ALL"), QStringLiteral("C")},
    };
    request.startTimeoutMs = 10000;
    request.finishTimeoutMs = hook.timeoutSeconds * 1000;
    request.outputLimit = kOutputLimit;
    return request;
}

bool SnapshotHooks::snapshot(SeriesSnapshots &series, const QString &dataset, const QString &seriesName,
                             QString &snapshot)
{
    const Mission &mission = run.mission();
    HookDefinition hook;
    if (mission.hook.isEmpty())
        return series.create(dataset, seriesName, snapshot);
    if (!HookCatalogue::find(mission.hook, hook)) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("hook ") + mission.hook,
                                     QStringLiteral("no hook named %1 is configured").arg(mission.hook));
        return false;
    }
    const QString first = SeriesSnapshots::firstName(dataset, seriesName, services.clock());
    const bool preRan = !hook.pre.isEmpty();
    const bool preOk = !preRan || runPhase(hook, QStringLiteral("pre"), first, hook.fatal);
    bool result = false;
    if ((preOk || !hook.fatal) && !run.isCancelled())
        result = series.createNamed(first, snapshot);
    // `post` runs whenever `pre` ran (and after a snapshot); its failure is
    // journaled, the snapshot stands.
    if (!hook.post.isEmpty() && (preRan || result))
        runPhase(hook, QStringLiteral("post"), first, false);
    return result && (preOk || !hook.fatal);
}

bool SnapshotHooks::runPhase(const HookDefinition &hook, const QString &phase, const QString &snapshot, bool failsRun)
{
    ProcessRequest request = SnapshotHooks::request(hook, phase, run.mission(), snapshot);
    if (run.isCancelled())
        request.finishTimeoutMs = qMin(request.finishTimeoutMs, kPostAfterCancelMs);
    else
        request.cancel = &run.cancelToken();
    const ProcessOutcome outcome = services.runner.run(request);
    if (outcome.succeeded())
        return true;
    QString output = outcome.cancelled ? QString() : QString::fromUtf8(outcome.standardError.trimmed());
    if (output.isEmpty() && !outcome.cancelled)
        output = QString::fromUtf8(outcome.standardOutput.trimmed());
    QString fault;
    if (outcome.cancelled)
        fault = QStringLiteral("cancelled");
    else if (!outcome.started)
        fault = QStringLiteral("could not be started");
    else if (!outcome.finished && !outcome.overflowed)
        fault = QStringLiteral("timed out after %1 s").arg(hook.timeoutSeconds);
    else if (outcome.crashed)
        fault = QStringLiteral("was ended by a signal");
    else if (!outcome.overflowed)
        fault = QStringLiteral("exited with status %1").arg(outcome.exitCode);
    QString message = QStringLiteral("hook %1 %2 %3").arg(hook.name, phase, fault);
    if (!output.isEmpty())
        message += QStringLiteral(": ") + output;
    message = PrintableText::replaced(message.left(kLongestMessage));
    if (failsRun)
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), commandText(request), message);
    else
        run.journals().add(TQ2PLACE(), commandText(request), false, message, QString());
    TQ2TRACE("hookFailed", message);
    return false;
}
