// Next-run computation for mission schedules. A schedule is a JSON object of
// the arrays "weeks" (1 Monday … 7 Sunday), "months" (1-12), "days" (1-31),
// "hours" (0-23) and "minutes" (0-59), local time; a missing or empty array
// means every value. Free functions, reentrant.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

// The earliest moment strictly after `start` that the schedule matches, at
// second 0, searched through the year of `today` and the next one. Invalid
// when nothing matches in those two years (the mission is then never due).
// Values outside their key's range are ignored; a list holding only such
// values matches nothing. The work is one pass over the schedule's values
// plus a bounded walk over candidate days, whatever the values repeat.
QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &start,
                                const QDate &today = QDate::currentDate());

// The earliest next moment over all schedules of the array, starting from
// the ceiling 2099-12-31 00:00:00 local time; an element that is not an object
// counts as an empty schedule. An empty array yields the ceiling.
QDateTime nextSchedulesDateTime(const QJsonArray &schedules, const QDateTime &start,
                                const QDate &today = QDate::currentDate());

// Seconds since the epoch as the due-time table keeps them: 32-bit unsigned,
// 4294967295 ("never") for an invalid moment.
qint64 toDueTime(const QDateTime &moment);

constexpr qint64 kNeverDue = 4294967295LL;
