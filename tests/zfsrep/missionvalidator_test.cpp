#include "missionnames.h"
#include "missionvalidator.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonObject sendParams()
{
    return QJsonObject{{"caption", "nightly"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"host", "10.0.0.2"}, {"userid", "zr"}, {"passwd", "pw"}};
}

QJsonObject exportParams()
{
    return QJsonObject{{"caption", "export"}, {"action", 3}, {"pool", "tank"}, {"name", "data"}, {"path", "/backup"}};
}

QJsonObject restoreParams()
{
    QJsonObject params = exportParams();
    params.insert("action", 4);
    return params;
}

// A backup host that pulls prod/data from 10.0.0.2 into tank/data.
QJsonObject mirrorParams()
{
    QJsonObject params = sendParams();
    params.insert("action", 5);
    params.insert("path", "prod/data");
    return params;
}

QJsonValue json(const char *text)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray("[") + text + "]");
    return document.array().at(0);
}

// `count` values spread over minutes lists of schedules of 60 values each.
QJsonArray manyValues(int count)
{
    QJsonArray schedules;
    while (count > 0) {
        QJsonArray minutes;
        for (int i = 0; i < 60 && count > 0; ++i, --count)
            minutes.append(i);
        schedules.append(QJsonObject{{"minutes", minutes}});
    }
    return schedules;
}

QJsonArray emptySchedules(int count)
{
    QJsonArray schedules;
    for (int i = 0; i < count; ++i)
        schedules.append(QJsonObject());
    return schedules;
}

struct Case {
    const char *name;
    QJsonObject base;
    const char *key;   // the parameter set (or removed, when value is undefined)
    QJsonValue value;
    QString expected;  // empty: accepted
};

Case row(const char *name, const QJsonObject &base, const char *key, const QJsonValue &value,
         const char *expected = "")
{
    return Case{name, base, key, value, QString::fromUtf8(expected)};
}

std::vector<Case> accepted()
{
    const QJsonObject send = sendParams();
    const QJsonObject file = exportParams();
    return {
        row("SendWithoutPort", send, "port", QJsonValue::Undefined),
        row("PortZeroMeansDefault", send, "port", 0),
        row("PortAsText", send, "port", "2222"),
        row("PortEmptyText", send, "port", ""),
        row("HighestPort", send, "port", 65535),
        row("ActionAsText", send, "action", "2"),
        row("ReceiveMission", send, "action", 2),
        row("SchedulesAbsent", send, "schedules", QJsonValue::Undefined),
        row("SchedulesNull", send, "schedules", QJsonValue::Null),
        row("SchedulesEmpty", send, "schedules", QJsonArray()),
        row("EmptyScheduleObject", send, "schedules", json("[{}]")),
        row("EveryKeyAtItsBounds", send, "schedules",
            json(R"([{"weeks":[1,7],"months":[1,12],"days":[1,31],"hours":[0,23],"minutes":[0,59]}])")),
        row("EmptyListsMeanEveryValue", send, "schedules", json(R"([{"hours":[],"minutes":[]}])")),
        row("ValuesAsDecimalText", send, "schedules", json(R"([{"hours":["3"," 4"],"minutes":[30]}])")),
        row("RepeatedValues", send, "schedules", json(R"([{"hours":[3,3,3,3]}])")),
        row("TwentyNinthOfFebruary", send, "schedules", json(R"([{"months":[2],"days":[29]}])")),
        row("TwentyNinthOfFebruaryOnAMonday", send, "schedules", json(R"([{"months":[2],"days":[29],"weeks":[1]}])")),
        row("ThirtyFirstInJanuaryOrFebruary", send, "schedules", json(R"([{"months":[2,1],"days":[31]}])")),
        row("FirstOrThirtyFirstOfFebruary", send, "schedules", json(R"([{"months":[2],"days":[31,1]}])")),
        row("ThirtyFirstOfEveryMonth", send, "schedules", json(R"([{"days":[31]}])")),
        row("ThirtyFirstOfDecemberAsText", send, "schedules", json(R"([{"months":["12"],"days":["31"]}])")),
        row("ExactlyTheValueLimit", send, "schedules", manyValues(MissionValidator::kMaxScheduleValues)),
        row("RateLimitZero", send, "ratelimit", 0),
        row("RateLimitNumber", send, "ratelimit", 1048576),
        row("RateLimitText", send, "ratelimit", "1000"),
        row("PasswordOfBlanksKept", send, "passwd", "  "),
        row("CaptionInChinese", send, "caption", QString::fromUtf8("每日备份")),
        row("ExportToAbsolutePath", file, "path", "/backup/exports"),
        row("RestoreFromFile", restoreParams(), "path", "/backup/tank@a.gz.zsa"),
        row("ExportNeedsNoHost", file, "host", QJsonValue::Undefined),
        row("CaptionOfTheMostCharacters", send, "caption", QString(256, QChar(0x6BCF))),
        row("PasswordOfTheMostCharacters", send, "passwd", QString(4096, QLatin1Char('p'))),
        row("DashInsideAName", send, "name", "my-data"),
        row("SnapnameWithDashInside", send, "snapname", "daily-zfsrep"),
        row("NestedName", file, "name", "data/child/grand"),
        row("NameWithDotsInsideAComponent", file, "name", "data..old/.hidden/v1.2"),
        row("ExportDirectoryWithTrailingSlash", file, "path", "/srv/exports/"),
        row("ExportToTheRoot", file, "path", "/"),
        row("RestoreWithEmptyNameTakesItFromTheFile", restoreParams(), "name", ""),
        row("RemoteParentIsNotALocalPath", send, "path", "backup/.."),
        row("MirrorMission", mirrorParams(), "path", "prod/data"),
        row("MirrorOfAPool", mirrorParams(), "path", "prod"),
        row("MirrorOnASchedule", mirrorParams(), "schedules", json(R"([{"hours":[1,13],"minutes":[30]}])")),
        row("MirrorWithSourceRetention", mirrorParams(), "keepsource", "10,1d30d"),
        row("MirrorWithTargetRetention", mirrorParams(), "keeptarget", "30,1w12w"),
        row("MirrorCarryingItsSeries", mirrorParams(), "carry", "series"),
        row("MirrorErasingTheRemoteSeries", mirrorParams(), "erase", 1),
        row("MirrorWithRateLimit", mirrorParams(), "ratelimit", 1048576),
    };
}

std::vector<Case> rejected()
{
    const QJsonObject send = sendParams();
    const QJsonObject file = exportParams();
    const QJsonObject restore = restoreParams();
    return {
        row("ActionNine", send, "action", 9, "参数无效: action: 9"),
        row("ActionZero", send, "action", 0, "参数无效: action: 0"),
        row("ActionMissing", send, "action", QJsonValue::Undefined, "缺少参数: action"),
        row("ActionWord", send, "action", "send", "参数无效: action: send"),
        row("ActionFraction", send, "action", 1.5, "参数无效: action: 1.5"),
        row("HourTwentyFive", send, "schedules", json(R"([{"hours":[25]}])"), "参数无效: schedules[0].hours: 25"),
        row("MinuteSixtyOne", send, "schedules", json(R"([{"minutes":[61]}])"),
            "参数无效: schedules[0].minutes: 61"),
        row("WeekEight", send, "schedules", json(R"([{"weeks":[8]}])"), "参数无效: schedules[0].weeks: 8"),
        row("WeekZero", send, "schedules", json(R"([{"weeks":[0]}])"), "参数无效: schedules[0].weeks: 0"),
        row("DayThirtyTwo", send, "schedules", json(R"([{"days":[32]}])"), "参数无效: schedules[0].days: 32"),
        row("MonthThirteen", send, "schedules", json(R"([{"months":[13]}])"),
            "参数无效: schedules[0].months: 13"),
        row("NegativeHour", send, "schedules", json(R"([{"hours":[-1]}])"), "参数无效: schedules[0].hours: -1"),
        row("ThirtiethOfFebruary", send, "schedules", json(R"([{"months":[2],"days":[30]}])"),
            "参数无效: schedules[0].days: 30 (months 2)"),
        row("ThirtyFirstOfTheShortMonths", send, "schedules", json(R"([{"months":[4,6,9,11],"days":[31]}])"),
            "参数无效: schedules[0].days: 31 (months 4,6,9,11)"),
        row("SecondScheduleNeverDue", send, "schedules", json(R"([{}, {"days":[30,31],"months":["2"]}])"),
            "参数无效: schedules[1].days: 30,31 (months 2)"),
        row("SecondScheduleBad", send, "schedules", json(R"([{}, {"hours":[1.5]}])"),
            "参数无效: schedules[1].hours: 1.5"),
        row("HexValue", send, "schedules", json(R"([{"hours":["0x03"]}])"), "参数无效: schedules[0].hours: 0x03"),
        row("BoolValue", send, "schedules", json(R"([{"hours":[true]}])"), "参数无效: schedules[0].hours: true"),
        row("NullValue", send, "schedules", json(R"([{"hours":[null]}])"), "参数无效: schedules[0].hours: null"),
        row("SchedulesAnObject", send, "schedules", json(R"({"hours":[3]})"), "参数无效: schedules: 不是列表"),
        row("SchedulesAsText", send, "schedules", "[{\"hours\":[3]}]", "参数无效: schedules: 不是列表"),
        row("UnknownKey", send, "schedules", json(R"([{"hour":[3]}])"), "参数无效: schedules[0].hour: 未知的键"),
        row("ValuesNotAList", send, "schedules", json(R"([{"hours":"3"}])"), "参数无效: schedules[0].hours: 不是列表"),
        row("ElementNotAnObject", send, "schedules", json("[5]"), "参数无效: schedules[0]: 不是对象"),
        row("OneValueOverTheLimit", send, "schedules", manyValues(MissionValidator::kMaxScheduleValues + 1),
            "参数无效: schedules: 超过 1000 个值"),
        row("TooManyEmptySchedules", send, "schedules", emptySchedules(1001),
            "参数无效: schedules: 超过 1000 个值"),
        row("SendWithoutHost", send, "host", QJsonValue::Undefined, "缺少参数: host"),
        row("SendWithBlankHost", send, "host", "   ", "缺少参数: host"),
        row("SendWithoutUser", send, "userid", QJsonValue::Undefined, "缺少参数: userid"),
        row("SendWithoutPassword", send, "passwd", "", "缺少参数: passwd"),
        row("HostLikeAnOption", send, "host", "-oProxyCommand=touch /tmp/x", "参数无效: host"),
        row("PortWithCommand", send, "port", "22; rm -rf /", "参数无效: port: 22; rm -rf /"),
        row("PortHuge", send, "port", 1e12, "参数无效: port: 1000000000000"),
        row("PortNegative", send, "port", -5, "参数无效: port: -5"),
        row("PortAboveRange", send, "port", 65536, "参数无效: port: 65536"),
        row("PortFraction", send, "port", 22.5, "参数无效: port: 22.5"),
        row("PortLongTextCut", send, "port", QString(100, QLatin1Char('9')),
            "参数无效: port: 9999999999999999999999999999999999999999..."),
        row("ExportWithoutPath", file, "path", QJsonValue::Undefined, "缺少参数: path"),
        row("ExportRelativePath", file, "path", "backup", "参数无效: path: 不是绝对路径"),
        row("RestoreRelativePath", restore, "path", "tank@a.gz.zsa", "参数无效: path: 不是绝对路径"),
        row("RateLimitNegative", send, "ratelimit", -1, "参数无效: ratelimit: -1"),
        row("RateLimitWord", send, "ratelimit", "fast", "参数无效: ratelimit: fast"),
        row("CaptionWithNul", send, "caption", QString::fromUtf8("a\0b", 3), "参数无效: caption: 含有控制字符"),
        row("CaptionWithNewline", send, "caption", "a\nb", "参数无效: caption: 含有控制字符"),
        row("PoolWithTab", send, "pool", "ta\tnk", "参数无效: pool: 含有控制字符"),
        row("SnapnameWithNewline", send, "snapname", "ZFSREP\nx", "参数无效: snapname: 含有控制字符"),
        row("SnapnameWithEscape", file, "snapname", "a\x1b[2J", "参数无效: snapname: 含有控制字符"),
        row("CaptionOneTooLong", send, "caption", QString(257, QLatin1Char('c')), "参数无效: caption: 超过 256 个字符"),
        row("PoolTooLong", send, "pool", QString(4097, QLatin1Char('p')), "参数无效: pool: 超过 4096 个字符"),
        row("NameTooLong", send, "name", QString(4097, QLatin1Char('n')), "参数无效: name: 超过 4096 个字符"),
        row("PathTooLong", file, "path", "/" + QString(4096, QLatin1Char('d')), "参数无效: path: 超过 4096 个字符"),
        row("HostTooLong", send, "host", QString(4097, QLatin1Char('h')), "参数无效: host: 超过 4096 个字符"),
        row("UserTooLong", send, "userid", QString(4097, QLatin1Char('u')), "参数无效: userid: 超过 4096 个字符"),
        row("PasswordTooLongAndNotEchoed", send, "passwd", QString(4097, QLatin1Char('s')),
            "参数无效: passwd: 超过 4096 个字符"),
        row("SnapnameTooLong", send, "snapname", QString(4097, QLatin1Char('z')), "参数无效: snapname: 超过 4096 个字符"),
        row("PoolLikeAnOption", send, "pool", "-o", "参数无效: pool: 以 - 开头"),
        row("NameLikeAnOption", file, "name", "-R", "参数无效: name: 以 - 开头"),
        row("NameLikeAnOptionAfterBlanks", send, "name", "  -x", "参数无效: name: 以 - 开头"),
        row("RemotePathLikeAnOption", send, "path", "-oProxyCommand=x", "参数无效: path: 以 - 开头"),
        row("ExportPathLikeAnOption", file, "path", "-/backup", "参数无效: path: 以 - 开头"),
        row("SnapnameLikeAnOption", send, "snapname", "-d", "参数无效: snapname: 以 - 开头"),
        // Names that climb out of the export directory or the pool.
        row("NameClimbsOut", file, "name", "data/../../../../../../../tarn/made/x", "参数无效: name: 含有 . 或 .. 名称部分"),
        row("NameIsDotDot", restore, "name", "..", "参数无效: name: 含有 . 或 .. 名称部分"),
        row("NameIsDot", send, "name", ".", "参数无效: name: 含有 . 或 .. 名称部分"),
        row("NameWithEmptyComponent", file, "name", "data//child", "参数无效: name: 含有空的名称部分"),
        row("NameWithTrailingSlash", file, "name", "data/", "参数无效: name: 含有空的名称部分"),
        row("NameAbsolute", file, "name", "/etc/cron.d", "参数无效: name: 含有空的名称部分"),
        row("PoolClimbsOut", file, "pool", "../../tarn", "参数无效: pool: 含有 . 或 .. 名称部分"),
        row("PoolIsDotDot", restore, "pool", "..", "参数无效: pool: 含有 . 或 .. 名称部分"),
        row("PoolWithTrailingSlash", send, "pool", "tank/", "参数无效: pool: 含有空的名称部分"),
        row("ExportPathClimbsOut", file, "path", "/srv/exports/../../etc", "参数无效: path: 含有 . 或 .. 名称部分"),
        row("ExportPathWithDot", file, "path", "/srv/./exports", "参数无效: path: 含有 . 或 .. 名称部分"),
        row("ExportPathWithEmptyComponent", file, "path", "/srv//exports", "参数无效: path: 含有空的名称部分"),
        row("RestorePathClimbsOut", restore, "path", "/srv/exports/../../root/secret.gz.zsa",
            "参数无效: path: 含有 . 或 .. 名称部分"),
        row("RestorePathIsADirectory", restore, "path", "/srv/exports/", "参数无效: path: 含有空的名称部分"),
        row("ActionSix", send, "action", 6, "参数无效: action: 6"),
        row("MirrorWithoutPath", mirrorParams(), "path", QJsonValue::Undefined, "缺少参数: path"),
        row("MirrorWithBlankPath", mirrorParams(), "path", "  ", "缺少参数: path"),
        row("MirrorOfASnapshot", mirrorParams(), "path", "prod/data@daily",
            "参数无效: path: prod/data@daily (a mirror pulls a dataset, not a snapshot)"),
        row("MirrorOfABookmark", mirrorParams(), "path", "prod/data#zfsrep_1",
            "参数无效: path: prod/data#zfsrep_1 (a mirror pulls a dataset, not a snapshot)"),
        row("MirrorPathClimbs", mirrorParams(), "path", "prod/../etc", "参数无效: path: 含有 . 或 .. 名称部分"),
        row("MirrorPathLikeAnOption", mirrorParams(), "path", "-oProxyCommand=x", "参数无效: path: 以 - 开头"),
        row("MirrorWithoutHost", mirrorParams(), "host", QJsonValue::Undefined, "缺少参数: host"),
        row("MirrorWithoutUser", mirrorParams(), "userid", QJsonValue::Undefined, "缺少参数: userid"),
        row("MirrorWithoutPassword", mirrorParams(), "passwd", "", "缺少参数: passwd"),
        row("MirrorHostLikeAnOption", mirrorParams(), "host", "-oProxyCommand=touch /tmp/x", "参数无效: host"),
        row("MirrorWithAHook", mirrorParams(), "hook", "freeze",
            "参数无效: hook: freeze (only send and export missions snapshot)"),
    };
}

class Accepted : public ::testing::TestWithParam<Case> {};
class Rejected : public ::testing::TestWithParam<Case> {};

QJsonObject apply(const Case &c)
{
    QJsonObject params = c.base;
    if (c.value.isUndefined())
        params.remove(QLatin1String(c.key));
    else
        params.insert(QLatin1String(c.key), c.value);
    return params;
}

TEST_P(Accepted, RequestPasses)
{
    EXPECT_EQ(MissionValidator::request(apply(GetParam())).toStdString(), "");
}

TEST_P(Rejected, RequestIsRefusedNamingTheParameter)
{
    EXPECT_EQ(MissionValidator::request(apply(GetParam())).toStdString(), GetParam().expected.toStdString());
}

std::string caseName(const ::testing::TestParamInfo<Case> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Missions, Accepted, ::testing::ValuesIn(accepted()), caseName);
INSTANTIATE_TEST_SUITE_P(Missions, Rejected, ::testing::ValuesIn(rejected()), caseName);

// Rows as the store reads them: port as text, schedules as JSON text.
QJsonObject storedSend()
{
    return QJsonObject{{"msnno", 3}, {"caption", "old"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"path", "backup"}, {"host", "10.0.0.2"}, {"port", "22"}, {"userid", "zr"},
                       {"passwd", "pw"}, {"schedules", "[]"}, {"done", 0}};
}

TEST(StoredMissionProblem, Table)
{
    const struct {
        const char *name;
        const char *key;
        QJsonValue value;
        const char *expected;
    } cases[] = {
        {"a sound row", "caption", "old", ""},
        {"port 0 means 22", "port", "0", ""},
        {"port left empty", "port", "", ""},
        {"no schedules text", "schedules", "", ""},
        {"schedules stored as an object", "schedules", R"({"hours":[3]})", "参数无效: schedules: 不是列表"},
        {"schedules not JSON", "schedules", "[", "参数无效: schedules: 不是列表"},
        {"hour out of range", "schedules", R"([{"hours":[25]}])", "参数无效: schedules[0].hours: 25"},
        {"31 February, stored before it was refused", "schedules", R"([{"days":[31],"months":[2]}])",
         "参数无效: schedules[0].days: 31 (months 2)"},
        {"action out of range", "action", 9, "参数无效: action: 9"},
        {"port that ssh refuses", "port", "-5", "参数无效: port: -5"},
        {"port clamped by an old store", "port", "2147483647", "参数无效: port: 2147483647"},
        {"send without host", "host", "", "缺少参数: host"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QJsonObject stored = storedSend();
        stored.insert(QLatin1String(c.key), c.value);
        EXPECT_EQ(MissionValidator::problem(stored).toStdString(), std::string(c.expected));
    }
    QJsonObject exportRow = storedSend();
    exportRow.insert("action", 3);
    exportRow.insert("path", "");
    EXPECT_EQ(MissionValidator::problem(exportRow), QString::fromUtf8("缺少参数: path"))
        << "an export without a path wrote into the working directory";
}

TEST(MissionNames, BelowTable)
{
    struct Row {
        const char *directory;
        const char *path;
        bool below;
    } rows[] = {
        {"/srv/exports", "/srv/exports/tank/data@s.gz.zsa", true},
        {"/srv/exports/", "/srv/exports/tank", true},
        {"/", "/tank", true},
        {"/srv/exports", "/srv/exports", false},
        {"/srv/exports", "/srv/exports/", false},
        {"/srv/exports", "/srv/exportsX/tank", false},
        {"/srv/exports", "/srv/exports/tank/../../etc", false},
        {"/srv/exports", "/srv/exports/../exports/tank", true},
        {"/srv/exports", "/etc/cron.d", false},
        {"", "/srv", false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.directory) + " " + r.path);
        EXPECT_EQ(MissionNames::isBelow(r.directory, r.path), r.below);
    }
}

TEST(EffectivePort, Table)
{
    const struct {
        const char *name;
        QJsonValue port;
        int expected;
    } cases[] = {
        {"absent", QJsonValue::Undefined, 22}, {"null", QJsonValue::Null, 22}, {"zero", 0, 22},
        {"zero text", "0", 22},                {"number", 2222, 2222},         {"text", " 2222 ", 2222},
        {"invalid text", "22; rm", 22},        {"out of range", 70000, 22},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MissionValidator::effectivePort(c.port), c.expected);
    }
}

} // namespace
