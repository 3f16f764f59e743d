#include "pvmeter.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

void PvMeter::feed(const QByteArray &chunk, qint64 nowMs)
{
    if (lastMoveMs < 0)
        lastMoveMs = nowMs;
    partial.append(chunk);
    int start = 0;
    for (int i = 0; i < partial.size(); ++i) {
        if (partial.at(i) == '\n' || partial.at(i) == '\r') {
            if (i > start)
                take(partial.mid(start, i - start), nowMs);
            start = i + 1;
        }
    }
    partial.remove(0, start);
    // A line never grows past a few dozen bytes; anything longer is not pv.
    if (partial.size() > 256)
        partial.clear();
}

bool PvMeter::isMeterLine(const QString &line)
{
    static const QRegularExpression numbers(QStringLiteral("^\\d+([.,]\\d+)? \\d+$"));
    return numbers.match(line.trimmed()).hasMatch();
}

void PvMeter::take(const QByteArray &line, qint64 nowMs)
{
    const QString text = QString::fromLatin1(line).trimmed();
    if (!isMeterLine(text))
        return;
    const QStringList fields = text.split(QLatin1Char(' '));
    // pv prints the seconds in its locale's notation ("1,0844" under de_DE);
    // stages run with LC_ALL=C, but a decimal comma still means the same.
    QString secondsText = fields.at(0);
    const double seconds = secondsText.replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
    const qint64 count = fields.at(1).toLongLong();
    if (count > movedBytes) {
        const double span = seconds - lastSeconds;
        if (updates > 0 && span > 0)
            rate = static_cast<qint64>((count - movedBytes) / span);
        else if (seconds > 0)
            rate = static_cast<qint64>(count / seconds);
        movedBytes = count;
        lastMoveMs = nowMs;
    } else if (seconds > lastSeconds) {
        rate = 0;
    }
    lastSeconds = seconds;
    ++updates;
}

int PvMeter::percent() const { return percentOf(movedBytes, totalBytes); }

int PvMeter::percentOf(qint64 done, qint64 total)
{
    if (total <= 0)
        return 0;
    // In floating point: a count near the top of qint64 must not overflow.
    const double value = double(done) * 100.0 / double(total);
    return static_cast<int>(qBound(0.0, value, 99.0));
}

qint64 PvMeter::etaSeconds() const
{
    if (totalBytes <= 0 || rate <= 0)
        return -1;
    return qMax<qint64>(0, (totalBytes - movedBytes + rate - 1) / rate);
}

qint64 PvMeter::idleMs(qint64 nowMs) const { return lastMoveMs < 0 ? 0 : nowMs - lastMoveMs; }

QString PvMeter::rateText(qint64 bytesPerSecond)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(qMax<qint64>(0, bytesPerSecond));
    int unit = 0;
    while (value >= 1000 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    // Three significant digits, as pv prints them.
    const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    const QString number = QString::number(value, 'f', decimals);
    return unit == 0 ? number + QStringLiteral(" B/s") : number + QLatin1String(units[unit]) + QStringLiteral("/s");
}
