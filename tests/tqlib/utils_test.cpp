#include "tq2file.h"
#include "tq2utils.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

struct IntCase {
    const char *name;
    QJsonValue value;
    int expected;
};

TEST(ToInt, ReadsNumbersTextAndFlags)
{
    const IntCase cases[] = {
        {"decimal text", QJsonValue("12"), 12},
        {"hex without prefix", QJsonValue("ff"), 255},
        {"hex with prefix", QJsonValue("0x1A"), 26},
        {"exponent read as hex", QJsonValue("1e3"), 483},
        {"letters that are hex", QJsonValue("abc"), 2748},
        {"no number", QJsonValue("xyz"), 0},
        {"blanks around", QJsonValue(" 42 "), 42},
        {"negative text", QJsonValue("-17"), -17},
        {"true", QJsonValue(true), 1},
        {"false", QJsonValue(false), 0},
        {"positive fraction", QJsonValue(3.9), 3},
        {"negative fraction", QJsonValue(-3.9), -3},
        {"null", QJsonValue(), 0},
        {"array", QJsonValue(QJsonArray{1}), 0},
        {"huge double is clamped", QJsonValue(1e20), 2147483647},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toInt(c.value), c.expected);
    }
}

TEST(ToInt, DefaultOnlyForValuesThatAreNoScalar)
{
    const QJsonObject object{{"s", "xyz"}, {"b", true}, {"n", QJsonValue::Null}};
    EXPECT_EQ(toInt(object.value("missing"), 7), 7);
    EXPECT_EQ(toInt(object.value("n"), 7), 7);
    EXPECT_EQ(toInt(object.value("s"), 7), 0);
    EXPECT_EQ(toInt(object.value("b"), 7), 1);
}

TEST(ToInt64, ReadsValuesBeyondThirtyTwoBits)
{
    EXPECT_EQ(toInt64(QJsonValue("10737418240")), 10737418240LL);
    EXPECT_EQ(toInt64(QJsonValue(10737418240.0)), 10737418240LL);
    EXPECT_EQ(toInt64(QJsonValue("nope")), 0);
}

TEST(ToBool, TextRule)
{
    const struct {
        const char *text;
        bool expected;
    } cases[] = {
        {"1", true}, {"2", true}, {"YES", true}, {"On", true}, {"ok", true}, {"y", true},
        {"T", true}, {"true", true}, {"0", false}, {"-1", false}, {"no", false},
        {"false", false}, {"", false}, {" yes", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(toBool(QString::fromLatin1(c.text)), c.expected);
    }
}

TEST(ToBool, ValueRule)
{
    EXPECT_TRUE(toBool(QJsonValue(0.5)));
    EXPECT_FALSE(toBool(QJsonValue(-1)));
    EXPECT_TRUE(toBool(QJsonValue("On")));
    EXPECT_FALSE(toBool(QJsonValue()));
    EXPECT_FALSE(toBool(QJsonValue(QJsonObject{{"a", 1}})));
    EXPECT_TRUE(isTrue(QJsonValue(true)));
}

TEST(JsonParsing, KindMismatchYieldsEmpty)
{
    const QString array = "[1,2,3]";
    EXPECT_TRUE(toJsonObject(array).isEmpty());
    EXPECT_EQ(toJsonArray(array).size(), 3);
    EXPECT_TRUE(toJsonArray(QString("{\"a\":1}")).isEmpty());
    EXPECT_TRUE(toJsonObject(QByteArray("{broken")).isEmpty());
    EXPECT_EQ(toJsonObject(QString::fromUtf8("{\"名\":\"值\"}")).value(QString::fromUtf8("名")).toString(),
              QString::fromUtf8("值"));
}

TEST(JsonMerge, IsShallowAndSecondWins)
{
    const QJsonObject a{{"x", 1}, {"y", QJsonObject{{"p", 1}}}};
    const QJsonObject b{{"y", QJsonObject{{"q", 2}}}};
    const QJsonObject expected{{"x", 1}, {"y", QJsonObject{{"q", 2}}}};
    EXPECT_EQ(jsonMerge(a, b), expected);
}

TEST(ToSizeMB, UnitsAndOddInput)
{
    const struct {
        const char *text;
        qint64 expected;
    } cases[] = {
        {"2G", 2048}, {"1.5m", 1}, {"512k", 0}, {"1048576", 1}, {"10 GiB", 10240},
        {"abc", 0}, {"", 0}, {"1023k", 0}, {"1024k", 1}, {" 1 t ", 1048576}, {"5b", 0},
        {"-1m", -1}, {"3145728B", 3}, {"2kb", 0}, {"1.5tb", 1572864}, {"7mib", 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(toSizeMB(QString::fromLatin1(c.text)), c.expected);
    }
}

TEST(ToSortList, ConvertsAndSorts)
{
    const QJsonArray input{3, "1", 2.7, "x"};
    EXPECT_EQ(toSortList(input), (QList<int>{0, 1, 2, 3}));
    EXPECT_TRUE(toSortList(QJsonArray()).isEmpty());
}

TEST(TQ2File, ReadsObjectsOnly)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString arrayFile = dir.filePath("array.json");
    const QString objectFile = dir.filePath("object.json");
    QFile a(arrayFile);
    ASSERT_TRUE(a.open(QIODevice::WriteOnly));
    a.write("[1,2]");
    a.close();
    QFile o(objectFile);
    ASSERT_TRUE(o.open(QIODevice::WriteOnly));
    o.write("{\"lpcid\":\"x\"}");
    o.close();

    EXPECT_TRUE(TQ2File::readJsonObject(arrayFile).isEmpty());
    EXPECT_TRUE(TQ2File::readJsonObject(dir.filePath("missing.json")).isEmpty());
    EXPECT_TRUE(TQ2File::readAll(dir.filePath("missing.json")).isEmpty());
    EXPECT_EQ(TQ2File::readJsonObject(objectFile).value("lpcid").toString(), "x");
    EXPECT_EQ(TQ2File::readAll(arrayFile), QByteArray("[1,2]"));
}

} // namespace
