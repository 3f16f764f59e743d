// The retention rule: its text (accepted forms and refusals naming the part)
// and what it keeps of stamped snapshots, on tables that include one hour
// with many snapshots, span boundaries, month ends, ISO weeks, a week
// without runs, a daylight-saving hour that repeats and a union of parts.
#include "ownsnapshots.h"
#include "retentionrule.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// "yyyy-MM-dd HH:mm" as a snapshot of series "s" named by its stamp.
StampedSnapshot at(const char *when, int sequence = 1)
{
    StampedSnapshot s;
    s.stamp = QDateTime::fromString(QString::fromLatin1(when), QStringLiteral("yyyy-MM-dd HH:mm"));
    s.stamp.setTimeSpec(Qt::UTC);
    s.sequence = sequence;
    s.name = QStringLiteral("s_") + s.stamp.toString(QStringLiteral("yyyyMMddHHmmss"))
             + (sequence > 1 ? QStringLiteral("_%1").arg(sequence) : QString());
    return s;
}

QStringList sortedNames(const QSet<QString> &names)
{
    QStringList list(names.begin(), names.end());
    list.sort();
    return list;
}

struct KeepCase {
    const char *label;
    const char *rule;
    std::vector<const char *> snapshots;
    std::vector<const char *> kept;
};

const KeepCase kKeepCases[] = {
    {"CountKeepsNewest", "3", {"2025-03-01 10:00", "2025-03-01 11:00", "2025-03-01 12:00", "2025-03-01 13:00"},
     {"2025-03-01 11:00", "2025-03-01 12:00", "2025-03-01 13:00"}},
    {"CountZeroKeepsNothing", "0", {"2025-03-01 10:00", "2025-03-01 11:00"}, {}},
    {"SameHourKeepsItsOldest", "1h24h", {"2025-03-10 10:05", "2025-03-10 10:20", "2025-03-10 10:50", "2025-03-10 11:10"},
     {"2025-03-10 10:05", "2025-03-10 11:10"}},
    {"HourBucketBeforeTheSpanGoes", "1h24h", {"2025-03-09 10:45", "2025-03-09 11:00", "2025-03-10 10:30"},
     {"2025-03-09 11:00", "2025-03-10 10:30"}},
    {"BucketStartingExactlyAtTheSpanStays", "1h24h", {"2025-03-09 10:00", "2025-03-10 10:00"},
     {"2025-03-09 10:00", "2025-03-10 10:00"}},
    {"DaysAcrossAMonthEnd", "1d3d",
     {"2025-02-26 08:00", "2025-02-27 08:00", "2025-02-27 20:00", "2025-02-28 09:00", "2025-03-01 01:00", "2025-03-01 23:00"},
     {"2025-02-27 08:00", "2025-02-28 09:00", "2025-03-01 01:00"}},
    {"MonthBackFromTheLastDayOfMarch", "1m1m", {"2025-02-28 23:00", "2025-03-01 00:00", "2025-03-31 12:00"},
     {"2025-03-01 00:00"}},
    {"MonthBackInALeapYear", "1d1m", {"2024-02-28 23:00", "2024-02-29 00:00", "2024-03-31 00:00"},
     {"2024-02-29 00:00", "2024-03-31 00:00"}},
    {"MonthsOfAYear", "1m1y",
     {"2024-01-15 00:00", "2024-02-10 00:00", "2024-02-20 00:00", "2024-12-31 23:00", "2025-01-31 00:00", "2025-02-01 00:00"},
     {"2024-02-10 00:00", "2024-12-31 23:00", "2025-01-31 00:00", "2025-02-01 00:00"}},
    {"IsoWeekStartsOnMonday", "1w1w", {"2025-03-09 23:00", "2025-03-10 01:00", "2025-03-16 22:00", "2025-03-17 00:00"},
     {"2025-03-10 01:00", "2025-03-17 00:00"}},
    {"YearsOnTheCalendar", "1y2y", {"2022-12-31 23:00", "2023-01-01 00:00", "2023-06-01 00:00", "2024-01-01 05:00"},
     {"2023-01-01 00:00", "2024-01-01 05:00"}},
    {"AWeekWithoutRunsCountsFromTheNewest", "2,1d10d",
     {"2025-03-01 10:00", "2025-03-02 10:00", "2025-03-03 10:00", "2025-03-11 10:00", "2025-03-11 11:00"},
     {"2025-03-02 10:00", "2025-03-03 10:00", "2025-03-11 10:00", "2025-03-11 11:00"}},
    {"OldHistoryIsKeptWhenRunsStopped", "1d2d", {"2020-01-01 10:00", "2020-01-02 10:00", "2020-01-03 10:00"},
     {"2020-01-02 10:00", "2020-01-03 10:00"}},
    {"RepeatedDaylightSavingHourIsOneBucket", "1h3h",
     {"2025-10-26 01:50", "2025-10-26 02:10", "2025-10-26 02:40", "2025-10-26 03:05"},
     {"2025-10-26 01:50", "2025-10-26 02:10", "2025-10-26 03:05"}},
    {"UnionOfParts", "1,1h2h,1d2d",
     {"2025-03-09 12:00", "2025-03-10 09:10", "2025-03-10 09:40", "2025-03-10 10:20"},
     {"2025-03-09 12:00", "2025-03-10 09:10", "2025-03-10 10:20"}},
};

class Keeps : public ::testing::TestWithParam<KeepCase>
{
};

TEST_P(Keeps, WhatTheRuleNames)
{
    const KeepCase &c = GetParam();
    RetentionRule rule;
    QString error;
    ASSERT_TRUE(RetentionRule::parse(QString::fromLatin1(c.rule), rule, error)) << error.toStdString();
    QList<StampedSnapshot> snapshots;
    // Given newest first: the order of the input does not matter.
    for (auto it = c.snapshots.rbegin(); it != c.snapshots.rend(); ++it)
        snapshots.append(at(*it));
    QStringList expected;
    for (const char *when : c.kept)
        expected.append(at(when).name);
    expected.sort();
    EXPECT_EQ(sortedNames(rule.keep(snapshots)), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Keeps, ::testing::ValuesIn(kKeepCases),
                         [](const ::testing::TestParamInfo<KeepCase> &info) { return std::string(info.param.label); });

TEST(RetentionRule, CountOrdersNamesOfOneSecondBySequence)
{
    RetentionRule rule;
    QString error;
    ASSERT_TRUE(RetentionRule::parse(QStringLiteral("2"), rule, error));
    const QList<StampedSnapshot> snapshots{at("2025-03-01 10:00", 3), at("2025-03-01 10:00", 2),
                                           at("2025-03-01 10:00"), at("2025-03-01 09:00")};
    EXPECT_EQ(sortedNames(rule.keep(snapshots)),
              (QStringList{QStringLiteral("s_20250301100000_2"), QStringLiteral("s_20250301100000_3")}));
}

TEST(RetentionRule, EmptyListKeepsNothingAndEmptyTextIsNoRule)
{
    RetentionRule rule;
    QString error;
    ASSERT_TRUE(RetentionRule::parse(QStringLiteral("  "), rule, error));
    EXPECT_TRUE(rule.isEmpty());
    ASSERT_TRUE(RetentionRule::parse(QStringLiteral("5"), rule, error));
    EXPECT_FALSE(rule.isEmpty());
    EXPECT_TRUE(rule.keep({}).isEmpty());
}

TEST(RetentionRule, ReadsTheFullForm)
{
    RetentionRule rule;
    QString error;
    ASSERT_TRUE(RetentionRule::parse(QStringLiteral(" 10, 1h24h,1d30d ,1w12w,1m1y"), rule, error))
        << error.toStdString();
    EXPECT_EQ(rule.count, 10);
    ASSERT_EQ(rule.parts.size(), 4);
    EXPECT_EQ(rule.parts.at(0).period, RetentionRule::Unit::Hour);
    EXPECT_EQ(rule.parts.at(0).amount, 24);
    EXPECT_EQ(rule.parts.at(2).period, RetentionRule::Unit::Week);
    EXPECT_EQ(rule.parts.at(2).unit, RetentionRule::Unit::Week);
    EXPECT_EQ(rule.parts.at(3).period, RetentionRule::Unit::Month);
    EXPECT_EQ(rule.parts.at(3).unit, RetentionRule::Unit::Year);
}

struct Refusal {
    const char *text;
    const char *message;
};

const Refusal kRefusals[] = {
    {"10,,1d30d", "part 2 \"\": empty"},
    {"1x30d", "part 1 \"1x30d\": unknown period \"x\" (h, d, w, m or y)"},
    {"5,1d30q", "part 2 \"1d30q\": unknown span unit \"q\" (h, d, w, m or y)"},
    {"1d30", "part 1 \"1d30\": unknown span unit \"\" (h, d, w, m or y)"},
    {"2h24h", "part 1 \"2h24h\": one snapshot per period only (write 1h)"},
    {"1d0d", "part 1 \"1d0d\": a span of 1 to 100000 units"},
    {"1d", "part 1 \"1d\": a span of 1 to 100000 units"},
    {"5,6", "part 2 \"6\": a second count"},
    {"-5", "part 1 \"-5\": not a count nor <1><period><span><unit> such as 1d30d"},
    {"1d30d;rm", "part 1 \"1d30d;rm\": not a count nor <1><period><span><unit> such as 1d30d"},
    {"1D30D", "part 1 \"1D30D\": not a count nor <1><period><span><unit> such as 1d30d"},
    {"10000001", "part 1 \"10000001\": a count of at most 1000000"},
    {"99999999999999999999", "part 1 \"99999999999999999999\": a count of at most 1000000"},
};

TEST(RetentionRule, RefusesNamingThePart)
{
    for (const Refusal &r : kRefusals) {
        SCOPED_TRACE(r.text);
        RetentionRule rule;
        rule.count = 7;
        QString error;
        EXPECT_FALSE(RetentionRule::parse(QString::fromLatin1(r.text), rule, error));
        EXPECT_EQ(error.toStdString(), std::string(r.message));
        EXPECT_TRUE(rule.isEmpty());
    }
}

TEST(RetentionRule, LongPartIsCutInTheMessage)
{
    RetentionRule rule;
    QString error;
    EXPECT_FALSE(RetentionRule::parse(QStringLiteral("1d30d,") + QString(200, QLatin1Char('z')), rule, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("part 2 \"zzzzzzzzzzzzzzzzzzzzzzzz...\": "))) << error.toStdString();
}

struct OwnCase {
    const char *name;
    const char *owner;
    const char *mark;
    bool own;
};

const OwnCase kOwnCases[] = {
    {"s_20250301100000", "abc:7", "abc:7", true},
    {"made_by_hand", "abc:7", "abc:7", true},
    {"s_20250301100000", "abc:8", "abc:7", false},
    {"s_20250301100000", "xyz:7", "abc:7", false},
    {"s_20250301100000", "-", "abc:7", true},
    {"s_20250301100000", "", "abc:7", true},
    {"s_20250301100000_2", "-", "abc:7", true},
    {"s_before_upgrade", "-", "abc:7", false},
    {"sx_20250301100000", "-", "abc:7", false},
    {"s_2025030110000", "-", "abc:7", false},
    {"s_20251301100000", "-", "abc:7", false},
    {"s_20250301100000_", "-", "abc:7", false},
    {"s_20250301100000", "-", "", true},
    {"s_20250301100000", "abc:7", "", false},
};

TEST(OwnSnapshots, DecidesByMarkThenByName)
{
    for (const OwnCase &c : kOwnCases) {
        SCOPED_TRACE(std::string(c.name) + " owner " + c.owner + " mark " + c.mark);
        EXPECT_EQ(OwnSnapshots::isOwn(QString::fromLatin1(c.name), QString::fromLatin1(c.owner), QStringLiteral("s"),
                                      QString::fromLatin1(c.mark)),
                  c.own);
    }
}

TEST(OwnSnapshots, StampsTheSeriesName)
{
    StampedSnapshot stamped;
    ASSERT_TRUE(OwnSnapshots::stampOf(QStringLiteral("daily_20251026023000_3"), QStringLiteral("daily"), stamped));
    EXPECT_EQ(stamped.stamp, QDateTime(QDate(2025, 10, 26), QTime(2, 30), Qt::UTC));
    EXPECT_EQ(stamped.sequence, 3);
    // A wall-clock time that a daylight-saving change skips is still that time.
    ASSERT_TRUE(OwnSnapshots::stampOf(QStringLiteral("daily_20250330023000"), QStringLiteral("daily"), stamped));
    EXPECT_EQ(stamped.stamp.time(), QTime(2, 30));
    EXPECT_EQ(stamped.sequence, 1);
    EXPECT_FALSE(OwnSnapshots::stampOf(QStringLiteral("daily_20250230023000"), QStringLiteral("daily"), stamped));
    EXPECT_FALSE(OwnSnapshots::stampOf(QStringLiteral("_20250301023000"), QString(), stamped));
    EXPECT_EQ(OwnSnapshots::mark(QStringLiteral("abc"), 12), QStringLiteral("abc:12"));
    EXPECT_EQ(OwnSnapshots::mark(QString(), 12), QString());
}

} // namespace
