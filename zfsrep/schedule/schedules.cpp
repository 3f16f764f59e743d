#include "schedules.h"

#include "tq2utils.h"

#include <QTime>

namespace {

// The sorted list of `key`, `all` when the schedule has none. Values outside
// [low, high] are dropped when `clip` is set.
QList<int> readList(const QJsonObject &schedule, const char *key, int low, int high, bool clip)
{
    const QJsonArray raw = schedule.value(QLatin1String(key)).toArray();
    QList<int> values = toSortList(raw);
    if (raw.isEmpty()) {
        for (int v = low; v <= high; ++v)
            values.append(v);
        return values;
    }
    if (clip) {
        QList<int> kept;
        for (int v : values) {
            if (v >= low && v <= high)
                kept.append(v);
        }
        return kept;
    }
    return values;
}

} // namespace

QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &start, const QDate &today)
{
    const QList<int> weeks = readList(schedule, "weeks", 1, 7, false);
    const QList<int> months = readList(schedule, "months", 1, 12, false);
    const QList<int> days = toSortList(schedule.value(QLatin1String("days")).toArray());
    const QList<int> hours = readList(schedule, "hours", 0, 23, true);
    const QList<int> minutes = readList(schedule, "minutes", 0, 59, true);
    const QDate first = start.date();

    for (int year = today.year(); year <= today.year() + 1; ++year) {
        for (int month : months) {
            const int length = (month >= 1 && month <= 12) ? QDate(year, month, 1).daysInMonth() : 0;
            QList<int> monthDays;
            if (days.isEmpty()) {
                for (int d = 1; d <= length; ++d)
                    monthDays.append(d);
            } else {
                for (int d : days) {
                    if (d >= 1 && d <= length)
                        monthDays.append(d);
                }
            }
            for (int day : monthDays) {
                const QDate date(year, month, day);
                if (date < first || !weeks.contains(date.dayOfWeek()))
                    continue;
                for (int hour : hours) {
                    for (int minute : minutes) {
                        const QDateTime candidate(date, QTime(hour, minute, 0, 0), Qt::LocalTime);
                        if (start < candidate)
                            return candidate;
                    }
                }
            }
        }
    }
    return QDateTime();
}

QDateTime nextSchedulesDateTime(const QJsonArray &schedules, const QDateTime &start, const QDate &today)
{
    QDateTime best(QDate(2099, 12, 31), QTime(0, 0, 0), Qt::LocalTime);
    for (const QJsonValue &schedule : schedules) {
        const QDateTime next = nextScheduledDateTime(schedule.toObject(), start, today);
        if (next.isValid() && next < best)
            best = next;
    }
    return best;
}

qint64 toDueTime(const QDateTime &moment)
{
    if (!moment.isValid())
        return kNeverDue;
    return static_cast<quint32>(moment.toSecsSinceEpoch());
}
