#include "schedules.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonObject schedule(const char *json) { return QJsonDocument::fromJson(json).object(); }

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

struct NextCase {
    const char *name;
    const char *schedule;
    QDateTime start;
    QDateTime expected; // invalid: never
};

TEST(NextScheduledDateTime, Table)
{
    const QDate today(2024, 3, 4); // a Monday in a leap year
    const NextCase cases[] = {
        {"daily 02:30 from Monday 01:00", R"({"hours":[2],"minutes":[30]})", at(2024, 3, 4, 1, 0),
         at(2024, 3, 4, 2, 30)},
        {"exactly on the minute moves to the next day", R"({"hours":[2],"minutes":[30]})",
         at(2024, 3, 4, 2, 30), at(2024, 3, 5, 2, 30)},
        {"Sundays only, on a Sunday", R"({"weeks":[7]})", at(2024, 3, 10, 10, 15, 20), at(2024, 3, 10, 10, 16)},
        {"Sundays only, from a Monday", R"({"weeks":[7]})", at(2024, 3, 4, 10, 15), at(2024, 3, 10, 0, 0)},
        {"empty schedule is the next whole minute", "{}", at(2024, 3, 4, 10, 15, 20), at(2024, 3, 4, 10, 16)},
        {"31st in short months never", R"({"days":[31],"months":[2,4]})", at(2024, 1, 1, 0, 0), QDateTime()},
        {"31st of January next year", R"({"days":[31],"months":[1,2],"hours":[0],"minutes":[0]})",
         at(2024, 3, 4, 0, 0), at(2025, 1, 31, 0, 0)},
        {"29 February in the leap year", R"({"days":[29],"months":[2],"hours":[6],"minutes":[0]})",
         at(2024, 1, 10, 0, 0), at(2024, 2, 29, 6, 0)},
        {"29 February after it passed: none next year", R"({"days":[29],"months":[2]})", at(2024, 3, 4, 0, 0),
         QDateTime()},
        {"unsorted lists with text numbers", R"({"hours":["23",1],"minutes":[45,"0x0f"]})",
         at(2024, 3, 4, 1, 20), at(2024, 3, 4, 1, 45)},
        {"out-of-range hour ignored beside a good one", R"({"hours":[25,3],"minutes":[0]})",
         at(2024, 3, 4, 1, 0), at(2024, 3, 4, 3, 0)},
        {"only out-of-range minutes never match", R"({"minutes":[60,99]})", at(2024, 3, 4, 1, 0), QDateTime()},
        {"only out-of-range hours never match", R"({"hours":[24]})", at(2024, 3, 4, 1, 0), QDateTime()},
        {"weekday outside 1-7 never matches", R"({"weeks":[0,8]})", at(2024, 3, 4, 1, 0), QDateTime()},
        {"year end rolls into the next year", R"({"months":[1],"days":[1],"hours":[0],"minutes":[0]})",
         at(2024, 12, 31, 23, 59), at(2025, 1, 1, 0, 0)},
    };
    for (const NextCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QDateTime next = nextScheduledDateTime(schedule(c.schedule), c.start, today);
        if (!c.expected.isValid())
            EXPECT_FALSE(next.isValid()) << next.toString(Qt::ISODate).toStdString();
        else
            EXPECT_EQ(next, c.expected) << next.toString(Qt::ISODate).toStdString();
    }
}

TEST(NextScheduledDateTime, SearchStartsInTheCurrentYear)
{
    // A start date in an earlier year than "today" still searches from today's year.
    const QDateTime next = nextScheduledDateTime(schedule(R"({"months":[6],"days":[1],"hours":[0],"minutes":[0]})"),
                                                 at(2020, 1, 1, 0, 0), QDate(2024, 3, 4));
    EXPECT_EQ(next, at(2024, 6, 1, 0, 0));
}

TEST(NextSchedulesDateTime, EarliestOfAllOrCeiling)
{
    const QDate today(2024, 3, 4);
    const QJsonArray both = QJsonDocument::fromJson(R"([{"hours":[23],"minutes":[0]},{"minutes":[0]}])").array();
    EXPECT_EQ(nextSchedulesDateTime(both, at(2024, 3, 4, 10, 15), today), at(2024, 3, 4, 11, 0));
    EXPECT_EQ(nextSchedulesDateTime(QJsonArray(), at(2024, 3, 4, 10, 15), today), at(2099, 12, 31, 0, 0));
    const QJsonArray never = QJsonDocument::fromJson(R"([{"minutes":[77]}])").array();
    EXPECT_EQ(nextSchedulesDateTime(never, at(2024, 3, 4, 10, 15), today), at(2099, 12, 31, 0, 0));
    const QJsonArray notObject{5};
    EXPECT_EQ(nextSchedulesDateTime(notObject, at(2024, 3, 4, 10, 15, 30), today), at(2024, 3, 4, 10, 16));
}

TEST(ToDueTime, InvalidIsNever)
{
    EXPECT_EQ(toDueTime(QDateTime()), kNeverDue);
    const QDateTime moment = QDateTime::fromSecsSinceEpoch(1700000000);
    EXPECT_EQ(toDueTime(moment), 1700000000);
}

TEST(NextScheduledDateTime, RepeatedValuesGiveTheSameAnswerAsTheirSet)
{
    // About 72 KB of repeated values: the answer is that of the five distinct
    // values. (Evaluated as a product of the lists this took minutes.)
    QJsonArray hours, minutes;
    for (int i = 0; i < 12000; ++i) {
        hours.append(QString::number(i % 5 + 2));
        minutes.append(i % 2 ? 30 : 45);
    }
    const QJsonObject huge{{"hours", hours}, {"minutes", minutes}, {"weeks", QJsonArray{6, 6, 6, 6}}};
    ASSERT_GT(QJsonDocument(huge).toJson(QJsonDocument::Compact).size(), 72000);
    const QDate today(2024, 3, 4);
    const QJsonObject small = schedule(R"({"hours":[2,3,4,5,6],"minutes":[30,45],"weeks":[6]})");
    for (const QDateTime &start : {at(2024, 3, 4, 1, 0), at(2024, 3, 9, 6, 44), at(2024, 3, 9, 6, 45),
                                   at(2024, 12, 31, 23, 0)}) {
        SCOPED_TRACE(start.toString(Qt::ISODate).toStdString());
        const QDateTime expected = nextScheduledDateTime(small, start, today);
        ASSERT_TRUE(expected.isValid());
        EXPECT_EQ(nextScheduledDateTime(huge, start, today), expected);
    }
    EXPECT_EQ(nextScheduledDateTime(small, at(2024, 3, 9, 6, 45), today), at(2024, 3, 16, 2, 30));
}

} // namespace
