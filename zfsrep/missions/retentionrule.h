// A retention rule of one side of a mission, as the mission keys
// "keepsource" and "keeptarget" hold it: a compact text such as
// "10,1h24h,1d30d,1w12w,1m1y", the newest 10 snapshots, then the oldest
// snapshot of every hour whose start lies within 24 hours before the newest
// snapshot, of every day within 30 days, of every ISO week (from Monday)
// within 12 weeks and of every calendar month within a year. Periods and
// span units are h, d, w, m and y; the count may stand anywhere, once.
//
// Times are wall-clock times of this machine's local zone, taken from the
// stamps in snapshot names, and are compared as such: an hour that a
// daylight-saving change repeats is one bucket, spans are counted on the
// calendar (a month back from 31 March is 28 or 29 February). Spans are
// counted back from the newest snapshot given, not from now, so a mission
// that stopped running keeps its history.
//
// Pure and reentrant.
#pragma once

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

// A snapshot the rule judges: its short name and the wall-clock stamp of its
// name (a QDateTime in Qt::UTC standing for a local wall-clock time) with
// the "_<n>" sequence of a second name taken in the same second (1 without).
struct StampedSnapshot {
    QString name;
    QDateTime stamp;
    int sequence = 1;
};

class RetentionRule
{
public:
    enum class Unit { Hour, Day, Week, Month, Year };
    struct Part {
        Unit period = Unit::Hour;
        int amount = 0; // of `unit`
        Unit unit = Unit::Hour;
    };

    // Reads `text`; an empty text (white space only) is the empty rule. On a
    // refusal returns false with `error` naming the part and what is wrong
    // with it (part 2 "1x30d": unknown period "x" (h, d, w, m or y)), parts
    // counted from 1..
    static bool parse(const QString &text, RetentionRule &rule, QString &error);

    // Whether the rule says anything (an empty rule keeps everything, the
    // caller does not prune).
    bool isEmpty() const { return count < 0 && parts.isEmpty(); }

    // The names of `snapshots` (in any order) that the rule keeps: the
    // newest `count` by stamp (then sequence, then name), and for each part
    // the oldest of every bucket of its period that starts at or after the
    // newest stamp minus the span. Everything else may go.
    QSet<QString> keep(const QList<StampedSnapshot> &snapshots) const;

    // The start of the bucket of `period` that holds `stamp`: the hour, the
    // day from 00:00, the ISO week from Monday 00:00, the month's first or
    // the year's first day.
    static QDateTime bucketStart(Unit period, const QDateTime &stamp);
    // `stamp` moved back by `amount` units on the calendar.
    static QDateTime back(const QDateTime &stamp, int amount, Unit unit);

    // Largest count and span amount a rule may name.
    static constexpr int kLargestCount = 1000000;
    static constexpr int kLargestAmount = 100000;

    int count = -1; // -1: no count part
    QList<Part> parts;
};
