#include "retentionrule.h"

#include <QMap>
#include <QRegularExpression>

#include <algorithm>

namespace {

bool unitOf(QChar letter, RetentionRule::Unit &unit)
{
    switch (letter.unicode()) {
    case 'h': unit = RetentionRule::Unit::Hour; return true;
    case 'd': unit = RetentionRule::Unit::Day; return true;
    case 'w': unit = RetentionRule::Unit::Week; return true;
    case 'm': unit = RetentionRule::Unit::Month; return true;
    case 'y': unit = RetentionRule::Unit::Year; return true;
    default: return false;
    }
}

// A part as a message shows it: cut, without control characters.
QString shown(int index, const QString &part)
{
    QString text = part.size() > 24 ? part.left(24) + QStringLiteral("...") : part;
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return QStringLiteral("part %1 \"").arg(index) + text + QStringLiteral("\": ");
}

bool readPart(int index, const QString &part, RetentionRule &rule, QString &error)
{
    static const QRegularExpression count(QStringLiteral("^[0-9]+$"));
    static const QRegularExpression period(QStringLiteral("^([0-9]+)([a-z]?)([0-9]*)([a-z]?)$"));
    const QString head = shown(index, part);
    if (part.isEmpty()) {
        error = head + QStringLiteral("empty");
        return false;
    }
    if (count.match(part).hasMatch()) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || value > RetentionRule::kLargestCount) {
            error = head + QStringLiteral("a count of at most %1").arg(RetentionRule::kLargestCount);
            return false;
        }
        if (rule.count >= 0) {
            error = head + QStringLiteral("a second count");
            return false;
        }
        rule.count = value;
        return true;
    }
    const QRegularExpressionMatch m = period.match(part);
    if (!m.hasMatch()) {
        error = head + QStringLiteral("not a count nor <1><period><span><unit> such as 1d30d");
        return false;
    }
    RetentionRule::Part read;
    if (m.captured(1) != QLatin1String("1")) {
        error = head + QStringLiteral("one snapshot per period only (write 1%1)").arg(m.captured(2));
        return false;
    }
    if (m.captured(2).isEmpty() || !unitOf(m.captured(2).at(0), read.period)) {
        error = head + QStringLiteral("unknown period \"%1\" (h, d, w, m or y)").arg(m.captured(2));
        return false;
    }
    bool ok = false;
    read.amount = m.captured(3).toInt(&ok);
    if (!ok || read.amount < 1 || read.amount > RetentionRule::kLargestAmount) {
        error = head + QStringLiteral("a span of 1 to %1 units").arg(RetentionRule::kLargestAmount);
        return false;
    }
    if (m.captured(4).isEmpty() || !unitOf(m.captured(4).at(0), read.unit)) {
        error = head + QStringLiteral("unknown span unit \"%1\" (h, d, w, m or y)").arg(m.captured(4));
        return false;
    }
    rule.parts.append(read);
    return true;
}

bool earlier(const StampedSnapshot &a, const StampedSnapshot &b)
{
    if (a.stamp != b.stamp)
        return a.stamp < b.stamp;
    if (a.sequence != b.sequence)
        return a.sequence < b.sequence;
    return a.name < b.name;
}

} // namespace

bool RetentionRule::parse(const QString &text, RetentionRule &rule, QString &error)
{
    rule = RetentionRule();
    error.clear();
    if (text.trimmed().isEmpty())
        return true;
    const QStringList parts = text.split(QLatin1Char(','));
    for (int i = 0; i < parts.size(); ++i) {
        if (!readPart(i + 1, parts.at(i).trimmed(), rule, error)) {
            rule = RetentionRule();
            return false;
        }
    }
    return true;
}

QDateTime RetentionRule::bucketStart(Unit period, const QDateTime &stamp)
{
    const QDate date = stamp.date();
    QDate day = date;
    QTime time(0, 0);
    switch (period) {
    case Unit::Hour: time = QTime(stamp.time().hour(), 0); break;
    case Unit::Day: break;
    case Unit::Week: day = date.addDays(1 - date.dayOfWeek()); break;
    case Unit::Month: day = QDate(date.year(), date.month(), 1); break;
    case Unit::Year: day = QDate(date.year(), 1, 1); break;
    }
    return QDateTime(day, time, Qt::UTC);
}

QDateTime RetentionRule::back(const QDateTime &stamp, int amount, Unit unit)
{
    switch (unit) {
    case Unit::Hour: return stamp.addSecs(-3600 * qint64(amount));
    case Unit::Day: return stamp.addDays(-amount);
    case Unit::Week: return stamp.addDays(-7 * qint64(amount));
    case Unit::Month: return stamp.addMonths(-amount);
    case Unit::Year: return stamp.addYears(-amount);
    }
    return stamp;
}

QSet<QString> RetentionRule::keep(const QList<StampedSnapshot> &snapshots) const
{
    QSet<QString> kept;
    if (snapshots.isEmpty())
        return kept;
    QList<StampedSnapshot> ordered = snapshots;
    std::sort(ordered.begin(), ordered.end(), earlier);
    for (int i = qMax(0, ordered.size() - qMax(0, count)); count > 0 && i < ordered.size(); ++i)
        kept.insert(ordered.at(i).name);
    const QDateTime newest = ordered.last().stamp;
    for (const Part &part : parts) {
        const QDateTime threshold = back(newest, part.amount, part.unit);
        // Oldest first, so the first one seen in a bucket is its oldest.
        QMap<QDateTime, QString> oldest;
        for (const StampedSnapshot &snapshot : ordered) {
            const QDateTime start = bucketStart(part.period, snapshot.stamp);
            if (start >= threshold && !oldest.contains(start))
                oldest.insert(start, snapshot.name);
        }
        for (const QString &name : oldest)
            kept.insert(name);
    }
    return kept;
}
