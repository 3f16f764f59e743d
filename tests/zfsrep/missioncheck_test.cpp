// The pure parts of a mission's dry run: the reading of the space query's
// answer, the sizes in its lines and the answer's overall verdict.
#include "missioncheck.h"
#include "spacequery.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

TEST(MissionCheck, ReadsUsedAndAvailableFromTheSpaceQuery)
{
    EXPECT_EQ(SpaceQuery::args("tank/my data"), (QStringList{"list", "-Hp", "-o", "used,available", "tank/my data"}));
    const struct {
        const char *name;
        QByteArray output;
        bool ok;
        qint64 used;
        qint64 available;
    } cases[] = {
        {"one line", "1073741824\t4294967296\n", true, 1073741824, 4294967296},
        {"no newline", "0\t0", true, 0, 0},
        {"beyond 32 bits", "18014398509481984\t9007199254740992\n", true, 18014398509481984LL, 9007199254740992LL},
        {"first line only", "5\t6\n7\t8\n", true, 5, 6},
        {"empty", "", false, -1, -1},
        {"one column", "5\n", false, -1, -1},
        {"three columns", "5\t6\t7\n", false, -1, -1},
        {"human units", "1.5G\t20G\n", false, -1, -1},
        {"negative", "-5\t6\n", false, -1, -1},
        {"a dash", "-\t6\n", false, -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qint64 used = -1;
        qint64 available = -1;
        EXPECT_EQ(SpaceQuery::parse(c.output, used, available), c.ok);
        EXPECT_EQ(used, c.used);
        EXPECT_EQ(available, c.available);
    }
}

TEST(MissionCheck, SizesForPeople)
{
    EXPECT_EQ(MissionCheck::bytesText(0), "0 B");
    EXPECT_EQ(MissionCheck::bytesText(1023), "1023 B");
    EXPECT_EQ(MissionCheck::bytesText(1536), "1.5 KiB");
    EXPECT_EQ(MissionCheck::bytesText(5LL << 30), "5.0 GiB");
    EXPECT_EQ(MissionCheck::bytesText(3LL << 50), "3.0 PiB");
}

TEST(MissionCheck, TheAnswerIsOkOnlyWhenEveryLinePassed)
{
    using Line = MissionCheck::Line;
    const QJsonObject passed =
        MissionCheck::toJson({Line{"local dataset", true, "tank/data exists"}, Line{"login", true, "logged in"}});
    EXPECT_TRUE(passed.value("ok").toBool());
    EXPECT_EQ(passed.value("checks").toArray().size(), 2);
    EXPECT_EQ(passed.value("checks").toArray().at(1).toObject(),
              (QJsonObject{{"check", "login"}, {"ok", true}, {"text", "logged in"}}));
    EXPECT_FALSE(MissionCheck::toJson({Line{"login", true, "x"}, Line{"space", false, "only 1 B free"}})
                     .value("ok")
                     .toBool());
    EXPECT_FALSE(MissionCheck::toJson({}).value("ok").toBool()) << "nothing checked is not a pass";
}

} // namespace
