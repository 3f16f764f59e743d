#include "stageoutput.h"

#include "failuretext.h"
#include "pvmeter.h"
#include "sshfailure.h"
#include "zfsoutput.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

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

namespace StageOutput {

QString errorText(const QByteArray &terminalOutput, const QByteArray &standardError)
{
    const QString error = ZfsOutput::decode(standardError).trimmed();
    if (!error.isEmpty())
        return FailureText::withoutUsage(SshFailure::explained(error));
    static const QRegularExpression breaks(QStringLiteral("[\r\n]"));
    QStringList kept;
    for (const QString &raw : QString::fromLocal8Bit(terminalOutput).split(breaks, Qt::SkipEmptyParts)) {
        const QString piece = raw.trimmed();
        if (!piece.isEmpty() && !isProgressDisplay(piece) && !PvMeter::isMeterLine(piece) && !isScriptNotice(piece))
            kept.append(piece);
    }
    return FailureText::withoutUsage(SshFailure::explained(kept.join(QLatin1Char('\n'))));
}

void takeProgress(QString &speed, int &rate, QByteArray &buffer)
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

} // namespace StageOutput
