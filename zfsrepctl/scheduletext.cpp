#include "scheduletext.h"

#include <QSet>
#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

struct PartKind {
    const char *text;  // name in the schedule text
    const char *key;   // key of the schedule object
    int low;
    int high;
    const char *const *names; // value names from `low` on, or nullptr
    const char *unknown;      // "unknown day" etc.
    int level;                // 0 months, 1 days (dates and weekdays), 2 hours, 3 minutes
    bool firstWhenLeftOut;    // left out below the finest part given: its first value
};

const char *const kDayNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const char *const kMonthNames[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};

// In the order the formatter writes them.
const PartKind kParts[] = {
    {"months", "months", 1, 12, kMonthNames, "unknown month", 0, true},
    {"dates", "days", 1, 31, nullptr, "not a day of the month", 1, true},
    {"days", "weeks", 1, 7, kDayNames, "unknown day", 1, false},
    {"hours", "hours", 0, 23, nullptr, "not an hour", 2, true},
    {"minutes", "minutes", 0, 59, nullptr, "not a minute", 3, true},
};

// The most days month m (1-12) has in any year.
constexpr int kLongestMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

QVector<int> listOf(const QJsonObject &schedule, const char *key)
{
    QVector<int> values;
    for (const QJsonValue &v : schedule.value(QLatin1String(key)).toArray())
        values.append(v.toInt());
    return values;
}

const PartKind *findPart(const QString &name)
{
    for (const PartKind &part : kParts) {
        if (name == QLatin1String(part.text))
            return &part;
    }
    return nullptr;
}

// One value: a name of the part or a whole number in range.
bool parseValue(const PartKind &part, const QString &word, int &value, QString &error)
{
    const QString lower = word.toLower();
    if (part.names) {
        for (int i = 0; i <= part.high - part.low; ++i) {
            if (lower == QLatin1String(part.names[i])) {
                value = part.low + i;
                return true;
            }
        }
    }
    bool ok = false;
    value = word.toInt(&ok);
    if (!ok || word.startsWith(QLatin1Char('+'))) {
        error = QStringLiteral("%1 '%2'").arg(QLatin1String(part.unknown), word);
        return false;
    }
    if (value < part.low || value > part.high) {
        error = QStringLiteral("%1 is out of range %2-%3").arg(word).arg(part.low).arg(part.high);
        return false;
    }
    return true;
}

// One item of a list: "*", "V", "A-B", each with an optional "/STEP".
bool parseItem(const PartKind &part, const QString &item, QSet<int> &values, QString &error)
{
    QString range = item;
    int step = 1;
    const int slash = item.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        range = item.left(slash);
        bool ok = false;
        step = item.mid(slash + 1).toInt(&ok);
        if (!ok || step <= 0) {
            error = QStringLiteral("step '%1' is not a positive whole number").arg(item.mid(slash + 1));
            return false;
        }
    }
    int first = part.low;
    int last = part.high;
    if (range != QLatin1String("*")) {
        const int dash = range.indexOf(QLatin1Char('-'), 1);
        if (!parseValue(part, dash < 0 ? range : range.left(dash), first, error))
            return false;
        last = first;
        if (dash >= 0 && !parseValue(part, range.mid(dash + 1), last, error))
            return false;
        if (last < first) {
            error = QStringLiteral("range '%1' runs backwards").arg(range);
            return false;
        }
        if (dash < 0 && slash >= 0)
            last = part.high; // "5/15": from 5 on, every 15
    }
    for (int v = first; v <= last; v += step)
        values.insert(v);
    return true;
}

QString valueName(const PartKind &part, int value)
{
    if (part.names && value >= part.low && value <= part.high)
        return QLatin1String(part.names[value - part.low]);
    return QString::number(value);
}

QString formatList(const PartKind &part, QVector<int> values)
{
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    QStringList items;
    for (int i = 0; i < values.size();) {
        int j = i;
        while (j + 1 < values.size() && values.at(j + 1) == values.at(j) + 1)
            ++j;
        if (j - i >= 2) {
            items << valueName(part, values.at(i)) + QLatin1Char('-') + valueName(part, values.at(j));
        } else {
            for (int k = i; k <= j; ++k)
                items << valueName(part, values.at(k));
        }
        i = j + 1;
    }
    return items.join(QLatin1Char(','));
}

} // namespace

bool parseScheduleText(const QString &text, QJsonObject &schedule, QString &error)
{
    const QStringList words = text.split(QRegExp(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        error = QStringLiteral("empty schedule (give at least one part, e.g. minutes=0)");
        return false;
    }
    QJsonObject result;
    QSet<QString> seen;
    int finest = -1;
    for (const QString &word : words) {
        const int eq = word.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? word : word.left(eq);
        const PartKind *part = findPart(name.toLower());
        if (!part) {
            error = QStringLiteral("unknown part '%1' (known: months, dates, days, hours, minutes)").arg(name);
            return false;
        }
        if (eq < 0 || eq + 1 == word.size()) {
            error = QStringLiteral("%1: needs '=' and a list, e.g. %1=%2").arg(name).arg(part->low);
            return false;
        }
        if (seen.contains(QLatin1String(part->text))) {
            error = QStringLiteral("%1: given twice").arg(name);
            return false;
        }
        seen.insert(QLatin1String(part->text));
        finest = qMax(finest, part->level);
        QSet<int> values;
        bool every = false;
        for (const QString &item : word.mid(eq + 1).split(QLatin1Char(','))) {
            if (item.isEmpty()) {
                error = QStringLiteral("%1: empty item in '%2'").arg(name, word.mid(eq + 1));
                return false;
            }
            QString why;
            if (!parseItem(*part, item, values, why)) {
                error = QStringLiteral("%1: %2").arg(name, why);
                return false;
            }
            every = every || item == QLatin1String("*");
        }
        if (every || values.size() == part->high - part->low + 1)
            continue; // every value: the same as leaving the part out
        QVector<int> sorted(values.begin(), values.end());
        std::sort(sorted.begin(), sorted.end());
        QJsonArray list;
        for (int v : sorted)
            list.append(v);
        result.insert(QLatin1String(part->key), list);
    }
    // "hours=2" is 02:00, "days=mon" Monday 00:00: a part left out below the
    // finest one given takes its first value (a weekday none: dates stand
    // for the day).
    for (const PartKind &part : kParts) {
        if (part.level > finest && part.firstWhenLeftOut)
            result.insert(QLatin1String(part.key), QJsonArray{part.low});
    }
    const QString never = neverDue(result);
    if (!never.isEmpty()) {
        error = never;
        return false;
    }
    schedule = result;
    return true;
}

QString neverDue(const QJsonObject &schedule)
{
    const QVector<int> dates = listOf(schedule, "days");
    if (dates.isEmpty())
        return QString();
    QVector<int> months = listOf(schedule, "months");
    if (months.isEmpty())
        return QString(); // January has every date
    const int earliest = *std::min_element(dates.begin(), dates.end());
    for (int month : months) {
        if (month >= 1 && month <= 12 && earliest <= kLongestMonth[month - 1])
            return QString();
    }
    return QStringLiteral("dates: %1 never falls in %2, so the schedule would never run")
        .arg(formatList(kParts[1], dates), formatList(kParts[0], months));
}

QString formatSchedule(const QJsonObject &schedule)
{
    // Parts finer than the finest one stored are every value; said as "*",
    // as leaving them out would read back as their first value.
    int finest = -1;
    for (const PartKind &part : kParts) {
        if (!schedule.value(QLatin1String(part.key)).toArray().isEmpty())
            finest = qMax(finest, part.level);
    }
    QStringList parts;
    for (const PartKind &part : kParts) {
        const QJsonArray list = schedule.value(QLatin1String(part.key)).toArray();
        if (list.isEmpty() && part.level > finest && part.firstWhenLeftOut && finest >= 0) {
            parts << QLatin1String(part.text) + QStringLiteral("=*");
            continue;
        }
        QVector<int> values;
        QStringList odd; // values that are not whole numbers
        for (const QJsonValue &v : list) {
            bool ok = false;
            const int n = v.isDouble() ? int(v.toDouble()) : v.toString().trimmed().toInt(&ok);
            if (v.isDouble() ? double(n) == v.toDouble() : ok)
                values.append(n);
            else
                odd << (v.isString() ? v.toString() : QStringLiteral("?"));
        }
        if (values.isEmpty() && odd.isEmpty())
            continue;
        QString text = formatList(part, values);
        if (!odd.isEmpty())
            text += (text.isEmpty() ? QString() : QStringLiteral(",")) + odd.join(QLatin1Char(','));
        parts << QLatin1String(part.text) + QLatin1Char('=') + text;
    }
    return parts.isEmpty() ? QStringLiteral("minutes=*") : parts.join(QLatin1Char(' '));
}

QString formatSchedules(const QJsonArray &schedules)
{
    if (schedules.isEmpty())
        return QStringLiteral("once");
    QStringList texts;
    for (const QJsonValue &value : schedules)
        texts << formatSchedule(value.toObject());
    return texts.join(QStringLiteral("; "));
}
