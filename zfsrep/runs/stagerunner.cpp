#include "stagerunner.h"

#include "pvmeter.h"
#include "run.h"
#include "stageoutput.h"
#include "transfercommands.h"
#include "zfscommands.h"

#include <QElapsedTimer>

namespace {

// What is kept of a stage's terminal output for its error message.
constexpr int kKeptOutput = 64 * 1024;
constexpr int kCancelSliceMs = 250;
// A metered stage looks at pv's numbers once a second.
constexpr int kMeterStepMs = 1000;
// How long a stage asked to end may take before its group is killed.
constexpr int kTerminateGraceMs = 1000;

// The tail of everything a stage showed, for its error message.
void keepTail(QByteArray &terminal, const QByteArray &chunk)
{
    terminal.append(chunk);
    if (terminal.size() > kKeptOutput)
        terminal.remove(0, terminal.size() - kKeptOutput);
}

// Waits up to `stepMs` in short slices; true once the stage ended. Returns
// early (false) when the run is cancelled.
bool waitStep(WatchedProcess &process, const Run &run, int stepMs)
{
    for (int waited = 0; waited < stepMs && !run.isCancelled(); waited += kCancelSliceMs) {
        if (process.waitForFinished(kCancelSliceMs))
            return true;
    }
    return false;
}

} // namespace

StageRunner::StageRunner(ProcessRunner &processRunner, int stallTimeoutSeconds)
    : runner(processRunner), stallSeconds(qMax(0, stallTimeoutSeconds))
{
}

std::unique_ptr<WatchedProcess> StageRunner::spawn(const QString &pipeline, const QString &password)
{
    ProcessRequest request;
    request.program = ZfsCommands::kScript;
    request.arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"),
                                    TransferCommands::stageShellCommand(pipeline), QStringLiteral("/dev/null")};
    request.environment.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    // pv's numbers (and every tool's messages) in the one notation the
    // meter and the error readers know, whatever the service's locale.
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    if (!password.isEmpty())
        request.environment.insert(QStringLiteral("SSHPASS"), password);
    request.startTimeoutMs = kStageStartMs;
    request.finishTimeoutMs = -1;
    return runner.spawn(request);
}

void StageRunner::finish(WatchedProcess &process, const QByteArray &terminal, StageOutcome &outcome) const
{
    const QByteArray error = process.readStandardError();
    outcome.succeeded = !outcome.cancelled && !outcome.stalled && !process.crashed() && process.exitCode() == 0;
    if (outcome.succeeded)
        return;
    outcome.errorText = StageOutput::errorText(terminal, error);
    if (outcome.stalled) {
        const QString stall = QStringLiteral("stalled: no data for %1 s").arg(stallSeconds);
        outcome.errorText = outcome.errorText.isEmpty() ? stall : stall + QLatin1Char('\n') + outcome.errorText;
    } else if (outcome.errorText.isEmpty()) {
        outcome.errorText = outcome.cancelled ? QStringLiteral("the transfer was cancelled")
                                              : QStringLiteral("the transfer failed with status %1").arg(process.exitCode());
    } else if (outcome.cancelled) {
        outcome.errorText = QStringLiteral("the transfer was cancelled: ") + outcome.errorText;
    }
}

StageOutcome StageRunner::metered(Run &run, const QString &pipeline, const QString &password, qint64 size)
{
    return watch(run, pipeline, password, size, [&run](const PvMeter &meter) { run.progress().meter(meter); });
}

StageOutcome StageRunner::displayed(Run &run, const QString &pipeline, qint64 size,
                                    const std::function<void(const PvMeter &)> &onStep)
{
    return watch(run, pipeline, QString(), size, onStep);
}

StageOutcome StageRunner::watch(Run &run, const QString &pipeline, const QString &password, qint64 size,
                                const std::function<void(const PvMeter &)> &onStep)
{
    StageOutcome outcome;
    if (run.isCancelled()) {
        outcome.cancelled = true;
        outcome.errorText = QStringLiteral("the transfer was cancelled");
        return outcome;
    }
    std::unique_ptr<WatchedProcess> process = spawn(pipeline, password);
    if (!process) {
        outcome.errorText = QStringLiteral("script could not be started");
        return outcome;
    }
    outcome.started = true;

    QElapsedTimer clock;
    clock.start();
    PvMeter meter(size);
    QByteArray terminal;
    const qint64 stallMs = qint64(stallSeconds) * 1000;
    for (;;) {
        const bool finished = waitStep(*process, run, kMeterStepMs);
        const QByteArray chunk = process->readStandardOutput();
        keepTail(terminal, chunk);
        meter.feed(chunk, clock.elapsed());
        onStep(meter);
        if (finished)
            break;
        if (run.isCancelled()) {
            outcome.cancelled = true;
            process->terminate(kTerminateGraceMs);
            break;
        }
        // Idle counts from the last byte pv counted, not from pv's last
        // line: once the stream has passed pv (pv ended or sits in a full
        // pipe), the stage still must end within the limit.
        if (stallMs > 0 && meter.idleMs(clock.elapsed()) >= stallMs) {
            outcome.stalled = true;
            process->terminate(kTerminateGraceMs);
            break;
        }
    }
    const QByteArray rest = process->readStandardOutput();
    keepTail(terminal, rest);
    meter.feed(rest, clock.elapsed());
    onStep(meter);
    outcome.bytes = meter.bytes();
    finish(*process, terminal, outcome);
    return outcome;
}
