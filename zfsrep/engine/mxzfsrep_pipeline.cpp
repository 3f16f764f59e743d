// The transfer stage runner and the parser of pv's display.
#include "mxzfsrep.h"

#include "tq2journals.h"
#include "transfercommands.h"
#include "zfscommands.h"
#include "zfsoutput.h"
#include "pvmeter.h"

#include <QElapsedTimer>

#include <QRegularExpression>

namespace {

// What is kept of a stage's terminal output for its error message.
constexpr int kKeptOutput = 64 * 1024;
constexpr int kCancelSliceMs = 250;
// What a stage keeps of pv's display between steps.
constexpr int kKeptProgress = 4096;
// A metered stage looks at pv's numbers once a second.
constexpr int kMeterStepMs = 1000;
// How long a stage asked to end may take before its group is killed.
constexpr int kTerminateGraceMs = 1000;

// One pv update as script copies it, e.g. "[18.5MiB/s] [=======>      ] 13%".
bool isProgressDisplay(const QString &piece)
{
    return piece.endsWith(QLatin1Char('%')) && piece.contains(QLatin1String("/s]"));
}

// script's notices when it is ended by a signal.
bool isScriptNotice(const QString &piece)
{
    return piece.startsWith(QLatin1String("Session terminated")) || piece == QLatin1String("...killed.");
}

} // namespace

QString MXZfsrep::stageErrorText(const QByteArray &terminalOutput, const QByteArray &standardError)
{
    const QString error = ZfsOutput::decode(standardError).trimmed();
    if (!error.isEmpty())
        return error;
    static const QRegularExpression breaks(QStringLiteral("[\r\n]"));
    QStringList kept;
    for (const QString &raw : QString::fromLocal8Bit(terminalOutput).split(breaks, Qt::SkipEmptyParts)) {
        const QString piece = raw.trimmed();
        if (!piece.isEmpty() && !isProgressDisplay(piece) && !PvMeter::isMeterLine(piece) && !isScriptNotice(piece))
            kept.append(piece);
    }
    return kept.join(QLatin1Char('\n'));
}

void MXZfsrep::takeProgress(QString &speed, int &rate, QByteArray &buffer) const
{
    buffer.replace('\t', ' ');
    const int nul = buffer.indexOf('\0');
    const QString text = QString::fromLocal8Bit(nul >= 0 ? buffer.left(nul) : buffer);
    const QStringList pieces = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return;
    const QString line = pieces.last().trimmed();
    if (!line.endsWith(QLatin1Char('%')))
        return;

    // [18.5MiB/s] [=======>      ] 13%
    // The rate sits in the 12 characters that end just after the last "/s".
    // Positions count from where that window would start even when the line
    // begins later, so a "[" at the very start of the line is found when it is
    // not the window's first character.
    const int p = line.lastIndexOf(QLatin1String("/s]"));
    if (p > 0) {
        const int windowStart = p - 10;
        const QString window = line.mid(qMax(0, windowStart), 12 + qMin(0, windowStart));
        const int bracket = window.lastIndexOf(QLatin1Char('['));
        if (bracket >= 0 && bracket + qMax(0, windowStart) - windowStart > 0)
            speed = window.mid(bracket + 1).trimmed();
    }

    QString tail = line.right(4).trimmed();
    tail.remove(QLatin1Char('%'));
    bool ok = false;
    const int percent = tail.toInt(&ok, 10);
    rate = ok ? qBound(0, percent, 100) : 0;
}

std::unique_ptr<WatchedProcess> MXZfsrep::spawnStage(const QString &pipeline, const QString &password)
{
    ProcessRequest request;
    request.program = ZfsCommands::kScript;
    request.arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"),
                                    TransferCommands::stageShellCommand(pipeline), QStringLiteral("/dev/null")};
    request.environment.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    if (!password.isEmpty())
        request.environment.insert(QStringLiteral("SSHPASS"), password);
    request.startTimeoutMs = kStageStartMs;
    request.finishTimeoutMs = -1;
    return runner().spawn(request);
}

void MXZfsrep::finishStage(WatchedProcess &process, const QByteArray &terminal, StageOutcome &outcome) const
{
    const QByteArray error = process.readStandardError();
    outcome.succeeded = !outcome.cancelled && !outcome.stalled && !process.crashed() && process.exitCode() == 0;
    if (outcome.succeeded)
        return;
    outcome.errorText = stageErrorText(terminal, error);
    if (outcome.stalled) {
        const QString stall = QStringLiteral("stalled: no data for %1 s").arg(stallTimeoutSeconds.load());
        outcome.errorText = outcome.errorText.isEmpty() ? stall : stall + QLatin1Char('\n') + outcome.errorText;
    } else if (outcome.errorText.isEmpty()) {
        outcome.errorText = outcome.cancelled ? QStringLiteral("the transfer was cancelled")
                                              : QStringLiteral("the transfer failed with status %1").arg(process.exitCode());
    } else if (outcome.cancelled) {
        outcome.errorText = QStringLiteral("the transfer was cancelled: ") + outcome.errorText;
    }
}

namespace {

// The tail of everything a stage showed, for its error message.
void keepTail(QByteArray &terminal, const QByteArray &chunk)
{
    terminal.append(chunk);
    if (terminal.size() > kKeptOutput)
        terminal.remove(0, terminal.size() - kKeptOutput);
}

} // namespace

StageOutcome MXZfsrep::runStage(const QString &pipeline, const QString &password, bool freshBufferEachStep,
                                const std::function<void(QByteArray &)> &onStep)
{
    StageOutcome outcome;
    std::unique_ptr<WatchedProcess> process = spawnStage(pipeline, password);
    if (!process) {
        outcome.errorText = QStringLiteral("script could not be started");
        return outcome;
    }
    outcome.started = true;

    QByteArray terminal;
    QByteArray buffer;
    // Waits one step, in short slices so that a cancel request is seen soon.
    auto waitStep = [&process, this] {
        for (int waited = 0; waited < kStageStepMs && !cancelled.load(); waited += kCancelSliceMs) {
            if (process->waitForFinished(kCancelSliceMs))
                return true;
        }
        return false;
    };
    while (!waitStep()) {
        if (cancelled.load()) {
            outcome.cancelled = true;
            process->terminate(kTerminateGraceMs);
            break;
        }
        const QByteArray chunk = process->readStandardOutput();
        keepTail(terminal, chunk);
        if (freshBufferEachStep)
            buffer = chunk;
        else
            buffer.append(chunk);
        onStep(buffer);
        // Only the newest display update is ever read; the tail keeps many of
        // them, so a stage of many hours parses the same small buffer.
        if (buffer.size() > kKeptProgress)
            buffer.remove(0, buffer.size() - kKeptProgress);
    }
    keepTail(terminal, process->readStandardOutput());
    finishStage(*process, terminal, outcome);
    return outcome;
}

StageOutcome MXZfsrep::runMeteredStage(const QString &pipeline, const QString &password, qint64 size)
{
    StageOutcome outcome;
    std::unique_ptr<WatchedProcess> process = spawnStage(pipeline, password);
    if (!process) {
        outcome.errorText = QStringLiteral("script could not be started");
        return outcome;
    }
    outcome.started = true;

    QElapsedTimer clock;
    clock.start();
    PvMeter meter(size);
    QByteArray terminal;
    const qint64 stallMs = qint64(stallTimeoutSeconds.load()) * 1000;
    for (;;) {
        bool finished = false;
        for (int waited = 0; waited < kMeterStepMs && !cancelled.load() && !finished; waited += kCancelSliceMs)
            finished = process->waitForFinished(kCancelSliceMs);
        const QByteArray chunk = process->readStandardOutput();
        keepTail(terminal, chunk);
        meter.feed(chunk, clock.elapsed());
        publishMeter(meter);
        if (finished)
            break;
        if (cancelled.load()) {
            outcome.cancelled = true;
            process->terminate(kTerminateGraceMs);
            break;
        }
        if (stallMs > 0 && meter.idleMs(clock.elapsed()) >= stallMs) {
            outcome.stalled = true;
            process->terminate(kTerminateGraceMs);
            break;
        }
    }
    const QByteArray rest = process->readStandardOutput();
    keepTail(terminal, rest);
    meter.feed(rest, clock.elapsed());
    outcome.bytes = meter.bytes();
    finishStage(*process, terminal, outcome);
    return outcome;
}

void MXZfsrep::publishMeter(const PvMeter &meter)
{
    std::lock_guard<std::mutex> lock(progressLock);
    if (progressObject.isEmpty())
        return;
    const qint64 done = stageBase + meter.bytes();
    const qint64 total = qMax(runTotal, done);
    const int percent = total > 0 ? static_cast<int>(qBound<qint64>(0, done * 100 / total, 99)) : 0;
    progressObject.insert(QStringLiteral("speed"), PvMeter::rateText(meter.bytesPerSecond()));
    progressObject.insert(QStringLiteral("rate"), percent);
    progressObject.insert(QStringLiteral("bytes"), done);
    progressObject.insert(QStringLiteral("total"), total);
    const qint64 rate = meter.bytesPerSecond();
    progressObject.insert(QStringLiteral("eta"), rate > 0 ? (total - done + rate - 1) / rate : -1);
}
