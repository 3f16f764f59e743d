#include "schedules.h"

#include "tq2utils.h"

#include <QTime>

#include <bitset>

namespace {

// The values of one schedule key as a set over 0..63: every value in
// [low, high] when the key is missing or empty, otherwise the listed values
// that fall in [low, high] (others can never match). One pass over the list,
// so repeated values cost nothing beyond reading them.
std::bitset<64> readSet(const QJsonObject &schedule, const char *key, int low, int high)
{
    const QJsonArray raw = schedule.value(QLatin1String(key)).toArray();
    std::bitset<64> set;
    if (raw.isEmpty()) {
        for (int v = low; v <= high; ++v)
            set.set(size_t(v));
        return set;
    }
    for (const QJsonValue &value : raw) {
        const int v = toInt(value);
        if (v >= low && v <= high)
            set.set(size_t(v));
    }
    return set;
}

} // namespace

QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &start, const QDate &today)
{
    const std::bitset<64> weeks = readSet(schedule, "weeks", 1, 7);
    const std::bitset<64> months = readSet(schedule, "months", 1, 12);
    const std::bitset<64> days = readSet(schedule, "days", 1, 31);
    const std::bitset<64> hours = readSet(schedule, "hours", 0, 23);
    const std::bitset<64> minutes = readSet(schedule, "minutes", 0, 59);
    if (weeks.none() || months.none() || days.none() || hours.none() || minutes.none())
        return QDateTime();

    // Candidate days are stepped through in order, from the later of the
    // start's date and 1 January of today's year, to the end of the next
    // year: at most 731 days. Only a day that matches tries its times, and
    // only the start's own day can try them all without a hit, so one call
    // looks at no more than 731 days and 2 x 1440 times whatever the schedule.
    const QDate yearStart(today.year(), 1, 1);
    const QDate last(today.year() + 1, 12, 31);
    for (QDate date = qMax(start.date(), yearStart); date <= last; date = date.addDays(1)) {
        if (!months.test(size_t(date.month())) || !days.test(size_t(date.day()))
            || !weeks.test(size_t(date.dayOfWeek())))
            continue;
        for (int hour = 0; hour < 24; ++hour) {
            if (!hours.test(size_t(hour)))
                continue;
            for (int minute = 0; minute < 60; ++minute) {
                if (!minutes.test(size_t(minute)))
                    continue;
                const QDateTime candidate(date, QTime(hour, minute, 0, 0), Qt::LocalTime);
                if (start < candidate)
                    return candidate;
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
