#include "metricssamples.h"

#include <QStringList>

namespace {

bool isNameChar(QChar c, bool first)
{
    return c == QLatin1Char('_') || c == QLatin1Char(':') || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
           || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (!first && c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// Reads `{a="x",b="y"}` from `pos` (at the brace); false on a grammar error.
bool readLabels(const QString &line, int &pos, QMap<QString, QString> &labels)
{
    ++pos;
    while (pos < line.size() && line.at(pos) != QLatin1Char('}')) {
        const int start = pos;
        while (pos < line.size() && isNameChar(line.at(pos), pos == start))
            ++pos;
        const QString key = line.mid(start, pos - start);
        if (key.isEmpty() || line.mid(pos, 2) != QLatin1String("=\""))
            return false;
        pos += 2;
        QString value;
        for (;;) {
            if (pos >= line.size())
                return false;
            const QChar c = line.at(pos++);
            if (c == QLatin1Char('"'))
                break;
            if (c != QLatin1Char('\\')) {
                value += c;
                continue;
            }
            if (pos >= line.size())
                return false;
            const QChar escaped = line.at(pos++);
            value += escaped == QLatin1Char('n') ? QChar(QLatin1Char('\n')) : escaped;
        }
        labels.insert(key, value);
        if (pos < line.size() && line.at(pos) == QLatin1Char(','))
            ++pos;
    }
    if (pos >= line.size())
        return false;
    ++pos;
    return true;
}

} // namespace

QList<MetricSample> parseMetricSamples(const QString &text)
{
    QList<MetricSample> samples;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        MetricSample sample;
        int pos = 0;
        while (pos < line.size() && isNameChar(line.at(pos), pos == 0))
            ++pos;
        sample.name = line.left(pos);
        if (sample.name.isEmpty())
            continue;
        if (pos < line.size() && line.at(pos) == QLatin1Char('{') && !readLabels(line, pos, sample.labels))
            continue;
        const QStringList rest = line.mid(pos).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool ok = false;
        if (!rest.isEmpty())
            sample.value = rest.first().toDouble(&ok);
        if (ok)
            samples.append(sample);
    }
    return samples;
}

double metricValue(const QList<MetricSample> &samples, const QString &name, const QString &label,
                   const QString &value, double fallback)
{
    for (const MetricSample &sample : samples) {
        if (sample.name == name && (label.isEmpty() || sample.labels.value(label) == value))
            return sample.value;
    }
    return fallback;
}
