#include "missionview.h"

#include "scheduletext.h"
#include "terminal.h"
#include "tq2utils.h"

#include <QDateTime>
#include <QStringList>
#include <QVector>

namespace {

// Text of a value that may come as a string or as a number ("port").
QString valueText(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return value.toString();
}

QString actionName(int action)
{
    switch (action) {
    case 1: return QStringLiteral("send");
    case 2: return QStringLiteral("receive");
    case 3: return QStringLiteral("export");
    case 4: return QStringLiteral("restore");
    case 5: return QStringLiteral("mirror");
    default: return QStringLiteral("action %1").arg(action);
    }
}

// The route of a mission in at most `columns` columns where it can: whole
// when it fits; else the far end after the host (port and path) cut in its
// middle; never shorter than the dataset and the host (or, for files, the
// dataset and the start of the directory), which may then be wider.
QString route(const QJsonObject &m, int columns = 1 << 20)
{
    const QString dataset = m.value("pool").toString() + QLatin1Char('/') + m.value("name").toString();
    const int action = toInt(m.value("action"));
    const bool remote = action == 1 || action == 2 || action == 5;
    const QString anchor = remote ? m.value("host").toString() : QString();
    const QString rest = remote ? QLatin1Char(':') + valueText(m.value("port")) + QLatin1Char('/')
                                      + m.value("path").toString()
                                : m.value("path").toString();
    const QString arrow = QStringLiteral(" -> ");
    auto join = [&](const QString &far) {
        switch (action) {
        case 1: case 3: return dataset + arrow + far;
        case 2: case 4: case 5: return far + arrow + dataset;
        default: return dataset;
        }
    };
    const QString whole = join(anchor + rest);
    if (textColumns(whole) <= columns)
        return whole;
    // Room for the far end's tail after what always stays.
    constexpr int kShortestTail = 4; // "..." and one character
    const int room = columns - textColumns(join(anchor));
    if (room < kShortestTail)
        return join(anchor + (remote ? QString() : fitText(rest, kShortestTail)));
    return join(anchor + elideMiddle(rest, room));
}

// "  last run ...  next ..." after the state word.
QString runTimes(const QJsonObject &m, const QString &state, Qt::TimeSpec spec)
{
    QString text;
    const qint64 lastrun = toInt64(m.value("lastrun"));
    if (lastrun > 0) {
        text += QStringLiteral("  last run ") + formatTime(lastrun, spec);
        const QString result = m.value("lastresult").toString();
        if (!result.isEmpty() && result != state)
            text += QLatin1Char(' ') + result;
    } else if (!m.contains("lastrun") && !m.value("finishedtime").toString().isEmpty()) {
        text += QStringLiteral("  last run ") + m.value("finishedtime").toString();
    }
    const qint64 nextrun = toInt64(m.value("nextrun"));
    if (nextrun > 0)
        text += QStringLiteral("  next ") + formatTime(nextrun, spec);
    return text;
}

QString missionLine(const QJsonObject &m, const QString &state, int width, Qt::TimeSpec spec)
{
    const QString head = QStringLiteral("#%1 %2  %3  ")
                             .arg(toInt(m.value("msnno")))
                             .arg(m.value("caption").toString(), actionName(toInt(m.value("action"))));
    QString tail = QStringLiteral("  ") + state + runTimes(m, state, spec);
    if (m.value("schedules").isArray())
        tail += QStringLiteral("  schedule ") + formatSchedules(m.value("schedules").toArray());
    // The route gives way first, down to its dataset and host; only then
    // is the end of the line cut.
    const QString path = route(m, width - textColumns(head) - textColumns(tail));
    return fitText(head + path + tail, width);
}

QString progressLine(const QJsonObject &m, int width)
{
    const int rate = toInt(m.value("rate"));
    QString tail = QStringLiteral(" %1%").arg(rate, 3);
    if (m.contains("bytes")) {
        tail += QStringLiteral("  ") + formatBytes(toInt64(m.value("bytes")));
        const qint64 total = toInt64(m.value("total"));
        if (total > 0)
            tail += QStringLiteral(" of ") + formatBytes(total);
    }
    tail += QStringLiteral("  ") + m.value("speed").toString();
    if (m.contains("eta") && toInt64(m.value("eta")) >= 0)
        tail += QStringLiteral("  ETA ") + formatDuration(toInt64(m.value("eta")));
    constexpr int kIndent = 4;
    constexpr int kShortestBar = 7;
    const int barWidth = width - kIndent - textColumns(tail) - 1;
    if (barWidth < kShortestBar)
        return fitText(QString(kIndent, QLatin1Char(' ')) + tail.trimmed(), width);
    return QString(kIndent, QLatin1Char(' ')) + progressBar(rate, barWidth) + tail;
}

// Pads every cell of a column to the column's widest cell (the last column
// is not padded).
QStringList alignColumns(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        widths.resize(qMax(widths.size(), row.size()));
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], textColumns(row.at(i)));
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            if (i > 0)
                line += QStringLiteral("  ");
            line += row.at(i);
            if (i + 1 < row.size())
                line += QString(widths[i] - textColumns(row.at(i)), QLatin1Char(' '));
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        lines.append(line);
    }
    return lines;
}

} // namespace

QString formatTime(qint64 seconds, Qt::TimeSpec spec)
{
    return QDateTime::fromSecsSinceEpoch(seconds, spec).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString formatBytes(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit + 1 < int(sizeof units / sizeof *units)) {
        value /= 1024.0;
        ++unit;
    }
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString formatDuration(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("?");
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1m%2s").arg(seconds / 60).arg(two(seconds % 60));
    if (seconds < 86400)
        return QStringLiteral("%1h%2m").arg(seconds / 3600).arg(two(seconds % 3600 / 60));
    return QStringLiteral("%1d%2h").arg(seconds / 86400).arg(two(seconds % 86400 / 3600));
}

QString firstLine(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            return line.trimmed();
    }
    return QString();
}

QString missionState(const QJsonObject &m)
{
    const QString given = m.value("state").toString();
    // The service lists a mission whose last run was cancelled as "failed"
    // (its clients know that set of states); for people it was cancelled.
    if (given == QLatin1String("failed") && m.value("lastresult").toString() == QLatin1String("cancelled"))
        return QStringLiteral("cancelled");
    if (!given.isEmpty())
        return given;
    if (m.contains("rate") || m.contains("speed"))
        return QStringLiteral("running");
    if (toBool(m.value("done")))
        return QStringLiteral("done");
    return m.value("finishedtime").toString().isEmpty() ? QStringLiteral("waiting") : QStringLiteral("armed");
}

QString progressBar(int percent, int width)
{
    const int inner = qMax(1, width - 2);
    const int filled = qBound(0, percent, 100) * inner / 100;
    QString bar(inner, QLatin1Char(' '));
    for (int i = 0; i < filled; ++i)
        bar[i] = QLatin1Char('=');
    if (filled < inner && filled > 0)
        bar[filled] = QLatin1Char('>');
    return QLatin1Char('[') + bar + QLatin1Char(']');
}

QString renderMissions(const QJsonArray &records, int width, Qt::TimeSpec spec)
{
    width = qMax(kMinimumColumns, width);
    QStringList lines;
    if (records.isEmpty())
        lines.append(QStringLiteral("no missions"));
    for (const QJsonValue &value : records) {
        const QJsonObject m = value.toObject();
        const QString state = missionState(m);
        lines.append(missionLine(m, state, width, spec));
        if (state == QLatin1String("running")) {
            lines.append(progressLine(m, width));
            continue;
        }
        const QString error = firstLine(m.value("lasterror").toString());
        if (!error.isEmpty())
            lines.append(fitText(QStringLiteral("    error: ") + error, width));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString renderHistory(const QJsonArray &runs, Qt::TimeSpec spec)
{
    if (runs.isEmpty())
        return QStringLiteral("no runs\n");
    QVector<QStringList> rows{{"RUN", "STARTED", "TOOK", "KIND", "OUTCOME", "BYTES", "RATE", "SNAPSHOTS"}};
    // The file column only when a run wrote a file (exports).
    bool files = false;
    for (const QJsonValue &value : runs)
        files = files || !value.toObject().value("file").toString().isEmpty();
    if (files)
        rows.first().append(QStringLiteral("FILE"));
    QVector<QStringList> errors{{}};
    for (const QJsonValue &value : runs) {
        const QJsonObject run = value.toObject();
        const qint64 started = toInt64(run.value("started"));
        const qint64 ended = toInt64(run.value("ended"));
        const QString base = run.value("base").toString();
        const QString target = run.value("target").toString();
        QString snapshots = target;
        if (!base.isEmpty())
            snapshots = base + QStringLiteral(" -> ") + (target.isEmpty() ? QStringLiteral("?") : target);
        rows.append({QString::number(toInt64(run.value("runno"))),
                     started > 0 ? formatTime(started, spec) : QStringLiteral("-"),
                     ended > 0 && started > 0 ? formatDuration(ended - started) : QStringLiteral("-"),
                     run.value("kind").toString(), run.value("outcome").toString(),
                     formatBytes(toInt64(run.value("bytes"))),
                     formatBytes(toInt64(run.value("rate"))) + QStringLiteral("/s"), snapshots});
        if (files) {
            const QString file = run.value("file").toString();
            rows.last().append(file.isEmpty() ? QStringLiteral("-") : file);
        }
        QStringList lines;
        for (const QString &line : run.value("error").toString().split(QLatin1Char('\n'))) {
            if (!line.trimmed().isEmpty())
                lines.append(line.trimmed());
        }
        errors.append(lines);
    }
    const QStringList table = alignColumns(rows);
    QString out;
    for (int i = 0; i < table.size(); ++i) {
        out += table.at(i) + QLatin1Char('\n');
        for (int j = 0; j < errors.at(i).size(); ++j)
            out += (j == 0 ? QStringLiteral("    error: ") : QStringLiteral("           ")) + errors.at(i).at(j)
                   + QLatin1Char('\n');
    }
    return out;
}
