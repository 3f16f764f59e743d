#include "configfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

struct ConfigCase {
    const char *name;
    const char *content; // nullptr: the file does not exist
    bool accepted;
    const char *errorPart; // a part of the one-line reason, after the path
};

TEST(ConfigFile, Table)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const ConfigCase cases[] = {
        {"an object is read", R"({"lpcid":"/tarn/run/zfsrep.sock","debugging":"yes"})", true, ""},
        {"an empty object is read", "{}", true, ""},
        {"missing file", nullptr, false, " does not exist"},
        {"empty file", "", false, " is not valid JSON: "},
        {"truncated object", R"({"lpcid": )", false, " is not valid JSON: "},
        {"trailing garbage", R"({"lpcid":"x"} junk)", false, " is not valid JSON: "},
        {"a list", R"(["lpcid"])", false, " does not hold a JSON object"},
    };
    int index = 0;
    for (const ConfigCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("config%1.json").arg(index++));
        if (c.content) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.content);
        }
        QJsonObject config{{"stale", 1}};
        QString error;
        EXPECT_EQ(ConfigFile::read(path, config, error), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(error.isEmpty());
            EXPECT_FALSE(config.contains("stale"));
        } else {
            EXPECT_TRUE(config.isEmpty());
            EXPECT_TRUE(error.startsWith("configuration file " + path + c.errorPart)) << error.toStdString();
            EXPECT_FALSE(error.contains('\n'));
        }
    }
    QString error;
    QJsonObject config;
    EXPECT_FALSE(ConfigFile::read(dir.path(), config, error));
    EXPECT_EQ(error, "configuration file " + dir.path() + " is a directory");
}

TEST(ConfigFile, ParseErrorNamesTheOffset)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("broken.json");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"lpcid": "x",})");
    file.close();
    QJsonObject config;
    QString error;
    ASSERT_FALSE(ConfigFile::read(path, config, error));
    // Qt's reason and the offset where the parser stopped, within the text.
    const QRegularExpressionMatch match = QRegularExpression(" is not valid JSON: (.+) at offset (\\d+)$").match(error);
    ASSERT_TRUE(match.hasMatch()) << error.toStdString();
    EXPECT_GE(match.captured(2).toInt(), 13);
    EXPECT_LE(match.captured(2).toInt(), 15);
}

} // namespace
