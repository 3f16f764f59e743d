// zfsrepctl's English sentences for the service's answer codes.
#include "errortext.h"

#include "tq2error.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QMetaEnum>
#include <QSet>

namespace {

bool isPlainAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

TEST(ErrorText, EveryCodeOfTheCatalogueHasAnEnglishSentence)
{
    const QMetaEnum codes = QMetaEnum::fromType<TQ2Error::ERRORCODE>();
    ASSERT_GT(codes.keyCount(), 100);
    for (int i = 0; i < codes.keyCount(); ++i) {
        const int code = codes.value(i);
        SCOPED_TRACE(codes.key(i));
        const QString sentence = codeSentence(code);
        EXPECT_FALSE(sentence.isEmpty());
        EXPECT_TRUE(isPlainAscii(sentence)) << sentence.toStdString();
        EXPECT_FALSE(sentence.endsWith('.')) << "a sentence is followed by the code";
        const QString line = refusalLine(QJsonObject{{"err", code}, {"errmsg", QString::fromUtf8("任务名称不存在")}},
                                         RefusalContext{"run mission 3", "run", "zfsrep_mission_run", 3, QString()},
                                         false);
        // Only a failed tool's or the database's own words pass through.
        const bool foreignWords = code == TQ2Error::ERR_EXECUTE || code == TQ2Error::ERR_SQLERROR;
        EXPECT_EQ(isPlainAscii(line), !foreignWords) << line.toStdString();
        EXPECT_TRUE(line.endsWith(QStringLiteral("(err %1)").arg(code))) << line.toStdString();
    }
}

TEST(ErrorText, ACodeOutsideTheCatalogueIsNamedUnknown)
{
    EXPECT_TRUE(codeSentence(12345).isEmpty());
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 12345}}, RefusalContext{"list", "list", "", 0, ""}, false),
              "list: the service answered an unknown code (err 12345)");
    EXPECT_EQ(refusalLine(QJsonObject{{"errmsg", "x"}}, RefusalContext{"list", "list", "", 0, ""}, false),
              "list: the service answered an unknown code (err -1)");
}

TEST(ErrorText, MissionCodesNameTheMissionCaptionOrMethod)
{
    const struct {
        const char *name;
        int code;
        RefusalContext context;
        const char *line;
    } cases[] = {
        {"run of a missing mission", 9994, {"run mission 99", "run", "zfsrep_mission_run", 99, ""},
         "run mission 99: mission 99 does not exist (err 9994)"},
        {"remove of a missing mission", 9994, {"remove mission 9", "remove", "zfsrep_mission_remove", 9, ""},
         "remove mission 9: mission 9 does not exist (err 9994)"},
        {"duplicate caption", 9993, {"add \"nightly\"", "add", "zfsrep_mission_append", 0, "nightly"},
         "add \"nightly\": a mission named \"nightly\" exists already (captions are compared without letter case)"
         " (err 9993)"},
        {"cancel of an idle mission", 9985, {"cancel mission 4", "cancel", "zfsrep_mission_cancel", 4, ""},
         "cancel mission 4: mission 4 is not running (err 9985)"},
        {"run while stopping", 9985, {"run mission 4", "run", "zfsrep_mission_run", 4, ""},
         "run mission 4: the service's scheduler is not running (is the service stopping?) (err 9985)"},
        {"run while busy", 9992, {"run mission 2", "run", "zfsrep_mission_run", 2, ""},
         "run mission 2: mission 2 or another mission is running now; try again when it has ended (err 9992)"},
        {"unknown method", 9885, {"list", "list", "zfsrep_mission_list", 0, ""},
         "list: this zfsrep service has no method zfsrep_mission_list (an older version?) (err 9885)"},
        {"parameter without names", 9995, {"edit mission 3", "edit", "zfsrep_mission_change", 3, ""},
         "edit mission 3: the service refused a parameter of mission 3 as missing or not valid (--raw shows which)"
         " (err 9995)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusalLine(QJsonObject{{"err", c.code}, {"errmsg", QString::fromUtf8("服务的文字")}}, c.context,
                              false),
                  QString::fromUtf8(c.line));
    }
}

TEST(ErrorText, RefusedParametersAreNamedFromTheAnswersKeys)
{
    const RefusalContext add{"add \"n\"", "add", "zfsrep_mission_append", 0, "n"};
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9995}, {"errmsg", "x"}, {"fault", "missing"},
                                      {"fields", QJsonArray{"caption", "pool", "name"}}},
                          add, false),
              "add \"n\": the service needs caption, pool and name, which are missing or empty (err 9995)");
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9995}, {"fault", "missing"}, {"fields", QJsonArray{"passwd"}}}, add,
                          false),
              "add \"n\": the service needs passwd, which is missing or empty (err 9995)");
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9995}, {"fault", "invalid"}, {"fields", QJsonArray{"schedules[0]"}}},
                          add, false),
              "add \"n\": the service refused the value of schedules[0] as not valid (err 9995)");
}

TEST(ErrorText, ToolAndDatabaseWordsFollowTheSentence)
{
    const RefusalContext query{"zfsrep_alload", "zfsrep_alload", "zfsrep_alload", 0, ""};
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9898}, {"errmsg", "cannot open 'tank': no such pool\n"}}, query, false),
              "zfsrep_alload: a command the service ran failed: cannot open 'tank': no such pool (err 9898)");
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9975}, {"errmsg", "database is locked"}}, query, false),
              "zfsrep_alload: the service's database failed: database is locked (err 9975)");
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9898}}, query, false),
              "zfsrep_alload: a command the service ran failed (err 9898)");
}

TEST(ErrorText, RawShowsTheServicesMessageAsItCame)
{
    EXPECT_EQ(refusalLine(QJsonObject{{"err", 9994}, {"errmsg", QString::fromUtf8("任务不存在: 99")}},
                          RefusalContext{"run mission 99", "run", "zfsrep_mission_run", 99, ""}, true),
              QString::fromUtf8("run mission 99 failed: 任务不存在: 99 (err 9994)"));
}

} // namespace
