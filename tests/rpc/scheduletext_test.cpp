// The compact schedule text of zfsrepctl: what each text means to the
// service, that the formatter's text reads back to the same schedule, and
// that a bad text is refused naming the part at fault.
#include "missionview.h"
#include "scheduletext.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

std::string show(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

TEST(ScheduleText, ParsesToTheServicesScheduleAndFormatsBackCanonically)
{
    const struct {
        const char *text;
        const char *schedule;  // what the service gets
        const char *canonical; // what watch and show print
    } cases[] = {
        {"days=mon-fri hours=1,13 minutes=30", R"({"weeks":[1,2,3,4,5],"hours":[1,13],"minutes":[30]})",
         "days=mon-fri hours=1,13 minutes=30"},
        {"minutes=30 hours=13,1 days=fri,mon-thu", R"({"weeks":[1,2,3,4,5],"hours":[1,13],"minutes":[30]})",
         "days=mon-fri hours=1,13 minutes=30"},
        {"days=sat,sun hours=2 minutes=0", R"({"weeks":[6,7],"hours":[2],"minutes":[0]})",
         "days=sat,sun hours=2 minutes=0"},
        {"days=7", R"({"weeks":[7],"hours":[0],"minutes":[0]})", "days=sun hours=0 minutes=0"},
        {"DAYS=Mon,WED", R"({"weeks":[1,3],"hours":[0],"minutes":[0]})", "days=mon,wed hours=0 minutes=0"},
        {"months=jan,jul dates=1 hours=2 minutes=0", R"({"months":[1,7],"days":[1],"hours":[2],"minutes":[0]})",
         "months=jan,jul dates=1 hours=2 minutes=0"},
        {"months=2-4,12", R"({"months":[2,3,4,12],"days":[1],"hours":[0],"minutes":[0]})",
         "months=feb-apr,dec dates=1 hours=0 minutes=0"},
        {"dates=29-31 months=2", R"({"months":[2],"days":[29,30,31],"hours":[0],"minutes":[0]})",
         "months=feb dates=29-31 hours=0 minutes=0"},
        // A part left out below the finest one given is its first value.
        {"hours=2", R"({"hours":[2],"minutes":[0]})", "hours=2 minutes=0"},
        {"hours=2 minutes=*", R"({"hours":[2]})", "hours=2 minutes=*"},
        {"hours=*", R"({"minutes":[0]})", "minutes=0"},
        {"days=mon", R"({"weeks":[1],"hours":[0],"minutes":[0]})", "days=mon hours=0 minutes=0"},
        {"months=jan days=mon", R"({"months":[1],"weeks":[1],"hours":[0],"minutes":[0]})",
         "months=jan days=mon hours=0 minutes=0"},
        {"months=jan dates=* days=* hours=* minutes=*", R"({"months":[1]})", "months=jan dates=* hours=* minutes=*"},
        {"dates=29 months=feb", R"({"months":[2],"days":[29],"hours":[0],"minutes":[0]})",
         "months=feb dates=29 hours=0 minutes=0"},
        {"minutes=*/15", R"({"minutes":[0,15,30,45]})", "minutes=0,15,30,45"},
        {"minutes=5/20", R"({"minutes":[5,25,45]})", "minutes=5,25,45"},
        {"hours=8-18/2 minutes=0", R"({"hours":[8,10,12,14,16,18],"minutes":[0]})",
         "hours=8,10,12,14,16,18 minutes=0"},
        {"hours=0-23 minutes=0", R"({"minutes":[0]})", "minutes=0"},
        {"minutes=*", R"({})", "minutes=*"},
        {"hours=5,5,5", R"({"hours":[5],"minutes":[0]})", "hours=5 minutes=0"},
        {"  hours=3\tminutes=7  ", R"({"hours":[3],"minutes":[7]})", "hours=3 minutes=7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        QJsonObject schedule;
        QString error;
        ASSERT_TRUE(parseScheduleText(QString::fromUtf8(c.text), schedule, error)) << error.toStdString();
        EXPECT_EQ(show(schedule), show(object(c.schedule)));
        const QString text = formatSchedule(schedule);
        EXPECT_EQ(text.toStdString(), c.canonical);
        QJsonObject again;
        ASSERT_TRUE(parseScheduleText(text, again, error)) << error.toStdString();
        EXPECT_EQ(show(again), show(schedule)) << "round trip";
    }
}

TEST(ScheduleText, RefusesNamingThePartAtFault)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"days=mnday", "days: unknown day 'mnday'"},
        {"days=mon-fri hours=25", "hours: 25 is out of range 0-23"},
        {"minutes=60", "minutes: 60 is out of range 0-59"},
        {"dates=0", "dates: 0 is out of range 1-31"},
        {"months=foo", "months: unknown month 'foo'"},
        {"hours=x", "hours: not an hour 'x'"},
        {"hours=+3", "hours: not an hour '+3'"},
        {"hour=3", "unknown part 'hour' (known: months, dates, days, hours, minutes)"},
        {"hours", "hours: needs '=' and a list, e.g. hours=0"},
        {"hours=", "hours: needs '=' and a list, e.g. hours=0"},
        {"hours=1 hours=2", "hours: given twice"},
        {"hours=1,,2", "hours: empty item in '1,,2'"},
        {"hours=13-1", "hours: range '13-1' runs backwards"},
        {"days=fri-mon", "days: range 'fri-mon' runs backwards"},
        {"minutes=*/0", "minutes: step '0' is not a positive whole number"},
        {"minutes=*/x", "minutes: step 'x' is not a positive whole number"},
        {"hours=-1", "hours: -1 is out of range 0-23"},
        {"dates=31 months=feb", "dates: 31 never falls in feb, so the schedule would never run"},
        {"months=2 dates=30,31 hours=1", "dates: 30,31 never falls in feb, so the schedule would never run"},
        {"dates=31 months=apr,jun,sep,nov", "dates: 31 never falls in apr,jun,sep,nov, so the schedule would never run"},
        {"", "empty schedule (give at least one part, e.g. minutes=0)"},
        {"   ", "empty schedule (give at least one part, e.g. minutes=0)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        QJsonObject schedule{{"kept", 1}};
        QString error;
        EXPECT_FALSE(parseScheduleText(QString::fromUtf8(c.text), schedule, error));
        EXPECT_EQ(error.toStdString(), c.error);
        EXPECT_EQ(schedule, (QJsonObject{{"kept", 1}})) << "a refused text leaves the schedule alone";
    }
}

TEST(ScheduleText, FormatsStoredSchedulesAsTheServiceKeepsThem)
{
    // Stored lists come back as numbers or as decimal text, unsorted, with
    // repeats; an empty list runs once.
    EXPECT_EQ(formatSchedules(QJsonArray()).toStdString(), "once");
    EXPECT_EQ(formatSchedule(object(R"({"weeks":["5","1","2","3","4","4"],"hours":[2]})")).toStdString(),
              "days=mon-fri hours=2 minutes=*");
    EXPECT_EQ(formatSchedules(QJsonDocument::fromJson(R"([{"hours":[23],"minutes":[0]},{"minutes":[0]}])").array())
                  .toStdString(),
              "hours=23 minutes=0; minutes=0");
    EXPECT_EQ(formatSchedule(object(R"({"weeks":[],"months":[]})")).toStdString(), "minutes=*");
    // What the service would refuse is shown, not hidden.
    EXPECT_EQ(formatSchedule(object(R"({"hours":[25,"x"]})")).toStdString(), "hours=25,x minutes=*");
}

TEST(ScheduleText, StoredSchedulesReadBackUnchangedThroughTheText)
{
    // What the interface stores without the finer parts means every value
    // of them; the text says so, so an edit keeps the meaning.
    const struct {
        const char *stored;
        const char *text;
    } cases[] = {
        {R"({"hours":[2]})", "hours=2 minutes=*"},
        {R"({"weeks":[7]})", "days=sun hours=* minutes=*"},
        {R"({"months":[1]})", "months=jan dates=* hours=* minutes=*"},
        {R"({"months":[1],"weeks":[1],"minutes":[5]})", "months=jan days=mon minutes=5"},
        {R"({"days":[15],"hours":[3]})", "dates=15 hours=3 minutes=*"},
        {R"({"minutes":[0]})", "minutes=0"},
        {R"({})", "minutes=*"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        const QString text = formatSchedule(object(c.stored));
        EXPECT_EQ(text.toStdString(), c.text);
        QJsonObject again;
        QString error;
        ASSERT_TRUE(parseScheduleText(text, again, error)) << error.toStdString();
        EXPECT_EQ(show(again), show(object(c.stored)));
    }
}

TEST(ScheduleText, NeverDueNamesTheDates)
{
    EXPECT_EQ(neverDue(object(R"({"months":[2],"days":[29]})")).toStdString(), "");
    EXPECT_EQ(neverDue(object(R"({"days":[31]})")).toStdString(), "");
    EXPECT_EQ(neverDue(object(R"({"months":[2,3],"days":[31]})")).toStdString(), "");
    EXPECT_EQ(neverDue(object(R"({"months":[2],"days":[30]})")).toStdString(),
              "dates: 30 never falls in feb, so the schedule would never run");
    EXPECT_EQ(neverDue(object(R"({"months":[4,6,9,11],"days":[31]})")).toStdString(),
              "dates: 31 never falls in apr,jun,sep,nov, so the schedule would never run");
}

} // namespace

namespace {

TEST(ScheduleText, WatchShowsTheSchedulesOfServicesThatSendThem)
{
    const QJsonObject base = object(R"({"msnno":3,"caption":"Nightly","action":1,"pool":"tank","name":"data",
        "host":"h","port":"22","path":"b","state":"armed","nextrun":1765162800})");
    QJsonObject scheduled = base;
    scheduled.insert("schedules", QJsonDocument::fromJson(R"([{"weeks":[1,2,3,4,5],"hours":[2],"minutes":[30]}])").array());
    QJsonObject once = base;
    once.insert("schedules", QJsonArray());
    EXPECT_EQ(renderMissions(QJsonArray{scheduled}, 200, Qt::UTC).toStdString(),
              "#3 Nightly  send  tank/data -> h:22/b  armed  next 2025-12-08 03:00:00"
              "  schedule days=mon-fri hours=2 minutes=30\n");
    EXPECT_NE(renderMissions(QJsonArray{once}, 200, Qt::UTC).indexOf("  schedule once\n"), -1);
    EXPECT_EQ(renderMissions(QJsonArray{base}, 200, Qt::UTC).indexOf("schedule"), -1)
        << "a service that sends no schedules shows none";
}

} // namespace
