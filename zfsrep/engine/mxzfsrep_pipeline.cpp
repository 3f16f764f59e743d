// The transfer stage runner and the parser of pv's display.
#include "mxzfsrep.h"

#include "tq2journals.h"
#include "transfercommands.h"
#include "zfscommands.h"
#include "zfsoutput.h"

#include <QRegularExpression>

namespace {

// What is kept of a stage's terminal output for its error message.
constexpr int kKeptOutput = 64 * 1024;
constexpr int kCancelSliceMs = 250;
// What a stage keeps of pv's display between steps.
constexpr int kKeptProgress = 4096;

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
        if (!piece.isEmpty() && !isProgressDisplay(piece) && !isScriptNotice(piece))
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

MXZfsrep::StageOutcome MXZfsrep::runStage(const QString &pipeline, const QString &password, bool freshBufferEachStep,
                                          const std::function<void(QByteArray &)> &onStep)
{
    StageOutcome outcome;
    ProcessRequest request;
    request.program = ZfsCommands::kScript;
    request.arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"),
                                    TransferCommands::stageShellCommand(pipeline), QStringLiteral("/dev/null")};
    request.environment.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    if (!password.isEmpty())
        request.environment.insert(QStringLiteral("SSHPASS"), password);
    request.startTimeoutMs = kStageStartMs;
    request.finishTimeoutMs = -1;

    std::unique_ptr<WatchedProcess> process = runner().spawn(request);
    if (!process) {
        outcome.errorText = QStringLiteral("script could not be started");
        return outcome;
    }
    outcome.started = true;

    QByteArray terminal; // the tail of everything the stage showed
    QByteArray buffer;
    auto keep = [&terminal](const QByteArray &chunk) {
        terminal.append(chunk);
        if (terminal.size() > kKeptOutput)
            terminal.remove(0, terminal.size() - kKeptOutput);
    };
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
            process->terminate(kStageStepMs);
            break;
        }
        const QByteArray chunk = process->readStandardOutput();
        keep(chunk);
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
    keep(process->readStandardOutput());
    const QByteArray error = process->readStandardError();
    outcome.succeeded = !outcome.cancelled && !process->crashed() && process->exitCode() == 0;
    if (!outcome.succeeded) {
        outcome.errorText = stageErrorText(terminal, error);
        if (outcome.errorText.isEmpty()) {
            outcome.errorText = outcome.cancelled ? QStringLiteral("the transfer was cancelled")
                                                  : QStringLiteral("the transfer failed with status %1").arg(process->exitCode());
        } else if (outcome.cancelled) {
            outcome.errorText = QStringLiteral("the transfer was cancelled: ") + outcome.errorText;
        }
    }
    return outcome;
}
