// TQ2JsonWriter writes the bytes QJsonDocument writes for the same value:
// strings from stored UTF-8 (well-formed or not), strings held as QString,
// whole numbers up to 64 bits, and every other kind of value.
#include "tq2jsonwriter.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>

namespace {

// Qt's compact text of one value, cut out of a one-element array.
QByteArray qtText(const QJsonValue &value)
{
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QByteArray allControlCharacters()
{
    QByteArray bytes;
    for (char c = 1; c < 0x20; ++c)
        bytes.append(c);
    return bytes;
}

struct Utf8Row {
    const char *name;
    QByteArray bytes;
};

class StoredText : public ::testing::TestWithParam<Utf8Row>
{
};

TEST_P(StoredText, WritesWhatQtWritesForTheDecodedString)
{
    const QByteArray &bytes = GetParam().bytes;
    QByteArray out;
    TQ2JsonWriter(out).string(bytes.constData(), bytes.size());
    // fromUtf8(QByteArray) would stop at a NUL: the stored text is all of it.
    const QString decoded = QString::fromUtf8(bytes.constData(), bytes.size());
    EXPECT_EQ(out, qtText(decoded));
    QByteArray viaQString;
    TQ2JsonWriter(viaQString).string(decoded);
    EXPECT_EQ(viaQString, out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoredText,
    ::testing::Values(Utf8Row{"Empty", QByteArray()}, Utf8Row{"Plain", "Nightly offsite copy"},
                      Utf8Row{"QuotesAndBackslashes", "say \"hi\" \\ C:\\path\\"},
                      Utf8Row{"ControlCharacters", allControlCharacters()},
                      Utf8Row{"NulInside", QByteArray("a\0b", 3)}, Utf8Row{"Delete", "a\x7f" "b"},
                      Utf8Row{"Chinese", "任务名称已存在"}, Utf8Row{"Emoji", "backup \xF0\x9F\x98\x80 done"},
                      Utf8Row{"SlashAndAngles", "</script><!-- / -->"},
                      Utf8Row{"NonCharacters", "\xEF\xBF\xBE\xEF\xBF\xBF"},
                      Utf8Row{"LeadingByteOrderMark", "\xEF\xBB\xBFlisted"},
                      Utf8Row{"InnerByteOrderMark", "x\xEF\xBB\xBFy"},
                      Utf8Row{"InvalidByte", "bad \xFF byte"}, Utf8Row{"OverlongNul", "\xC0\x80"},
                      Utf8Row{"OverlongSlash", "\xE0\x80\xAF"},
                      Utf8Row{"EncodedSurrogate", "\xED\xA0\x80"},
                      Utf8Row{"PastLastCodePoint", "\xF4\x90\x80\x80"},
                      Utf8Row{"TruncatedSequence", "ends in \xE4\xBB"},
                      Utf8Row{"LoneContinuation", "\x80 alone"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(JsonWriterValues, WritesWhatQtWritesForEveryKindOfValue)
{
    const QString loneSurrogate = QStringLiteral("x") + QChar(0xD800) + QStringLiteral("y");
    const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80");
    const struct {
        const char *name;
        QJsonValue value;
    } rows[] = {
        {"Zero", 0},
        {"Negative", -17},
        {"IntMin", std::numeric_limits<int>::min()},
        {"IntMax", std::numeric_limits<int>::max()},
        {"LargeExact", qint64(1) << 53},
        {"LargeInexact", (qint64(1) << 53) + 1},
        {"Int64Max", std::numeric_limits<qint64>::max()},
        {"Fraction", 1.5},
        {"Huge", 1e21},
        {"Tiny", 1e-7},
        {"True", true},
        {"False", false},
        {"Null", QJsonValue()},
        {"Undefined", QJsonValue(QJsonValue::Undefined)},
        {"NullString", QString()},
        {"LoneSurrogate", loneSurrogate},
        {"SurrogatePair", pair},
        {"Array", QJsonArray{1, "two", QJsonObject{{"b", 1}, {"a", "\n"}}}},
        {"Object", QJsonObject{{"z", 1}, {"a", QJsonArray()}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray out;
        TQ2JsonWriter(out).value(row.value);
        EXPECT_EQ(out, qtText(row.value));
    }
}

TEST(JsonWriterValues, IntegersMatchQtAcrossThe64BitRange)
{
    for (const qint64 n : {qint64(0), qint64(1), qint64(-1), qint64(1000000), (qint64(1) << 53) - 1, qint64(1) << 53,
                           -(qint64(1) << 53), -(qint64(1) << 53) - 1, (qint64(1) << 62) + 3,
                           std::numeric_limits<qint64>::min()}) {
        SCOPED_TRACE(n);
        QByteArray out;
        TQ2JsonWriter(out).integer(n);
        EXPECT_EQ(out, qtText(QJsonValue(n)));
    }
}

TEST(JsonWriterValues, KeyIsTheEscapedNameAndAColon)
{
    QByteArray out;
    TQ2JsonWriter writer(out);
    writer.raw('{');
    writer.key("a\"b");
    writer.integer(1);
    writer.raw('}');
    EXPECT_EQ(out, QJsonDocument(QJsonObject{{"a\"b", 1}}).toJson(QJsonDocument::Compact));
}

} // namespace
