// The compact text form of a mission schedule, for people on the command
// line, and its translation to and from the service's schedule object
// ({"weeks": [...], "months": [...], "days": [...], "hours": [...],
// "minutes": [...]}, an empty or missing list meaning every value).
//
//   days=mon-fri hours=1,13 minutes=30
//   months=jan,jul dates=1 hours=2 minutes=0
//   minutes=*/15
//
// Parts are separated by blanks, each NAME=LIST, each name at most once:
//   months   jan..dec or 1-12                 -> "months"
//   dates    days of the month 1-31           -> "days"
//   days     mon..sun (or 1-7, 1 = Monday)    -> "weeks"
//   hours    0-23                             -> "hours"
//   minutes  0-59                             -> "minutes"
// A LIST is comma-separated items: a value, a range A-B, or "*" (every
// value), each optionally followed by /STEP. A part left out above the
// finest part given means every value; one left out below it means its
// first value, as people read a time: "hours=2" is 02:00 (minutes=0),
// "days=mon" Monday 00:00, "months=jan" 1 January 00:00; a weekday is never
// filled in (the date stands for the day). "minutes=*/15" is every quarter
// hour. Pure functions, no I/O.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Turns one schedule text into a schedule object. False with `error` naming
// the part at fault and why ("days: unknown day 'mnday'"); `schedule` is
// then left as it was. A schedule that can never fall due (dates=31
// months=feb) is refused too.
bool parseScheduleText(const QString &text, QJsonObject &schedule, QString &error);

// Why a schedule object can never fall due in any year (no date of its
// "days" exists in any of its "months": 30 or 31 February, 31 April, June,
// September or November), naming the part; empty when it can. 29 February
// can. Pure.
QString neverDue(const QJsonObject &schedule);

// The compact text of a schedule object, the parts in the order months,
// dates, days, hours, minutes, runs of three or more values as ranges
// (days=mon-fri), days and months by name. A schedule that lists no part
// is "minutes=*"; a part finer than the finest one listed reads "*"
// ({"hours": [2]} is "hours=2 minutes=*", every minute of hour 2), so the
// text reads back to the same schedule. Values the service would refuse
// (out of range, not numbers) are shown as they are so nothing is hidden.
QString formatSchedule(const QJsonObject &schedule);

// Every schedule of a mission's list, joined with "; ". An empty list is
// "once" (the service runs such a mission once, at the next minute).
QString formatSchedules(const QJsonArray &schedules);
