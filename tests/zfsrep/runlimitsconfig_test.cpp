// The run limits of the configuration: what is accepted, the default, and
// the one line naming the key for a value that stops the start.
#include "runlimitsconfig.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonObject parsed(const char *text)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text));
    EXPECT_TRUE(document.isObject()) << text;
    return document.object();
}

TEST(RunLimitsConfig, Accepted)
{
    const struct {
        const char *config;
        int parallel, perHost;
    } cases[] = {
        {"{}", 1, 1},
        {R"({"maxparallel": null, "maxperhost": null})", 1, 1},
        {R"({"maxparallel": 4, "maxperhost": 1})", 4, 1},
        {R"({"maxparallel": 64, "maxperhost": 64})", 64, 64},
        {R"({"maxparallel": "8", "maxperhost": " 2 "})", 8, 2},
        {R"({"maxparallel": 3.0})", 3, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        RunLimits limits{9, 9};
        QString error;
        ASSERT_TRUE(RunLimitsConfig::read(parsed(c.config), limits, error)) << error.toStdString();
        EXPECT_EQ(limits.maxParallel, c.parallel);
        EXPECT_EQ(limits.maxPerHost, c.perHost);
        EXPECT_TRUE(error.isEmpty());
    }
}

TEST(RunLimitsConfig, RefusedWithOneLineNamingTheKey)
{
    const struct {
        const char *config;
        const char *error;
    } cases[] = {
        {R"({"maxparallel": 0})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": 65})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": -1})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": 2.5})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": "four"})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": true})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": [4]})", "maxparallel: not a whole number from 1 to 64"},
        {R"({"maxparallel": 4, "maxperhost": 0})", "maxperhost: not a whole number from 1 to 64"},
        {R"({"maxperhost": "1e3"})", "maxperhost: not a whole number from 1 to 64"},
        {R"({"maxperhost": 1e300})", "maxperhost: not a whole number from 1 to 64"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        RunLimits limits{5, 6};
        QString error;
        EXPECT_FALSE(RunLimitsConfig::read(parsed(c.config), limits, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(limits.maxParallel, 5) << "unchanged";
        EXPECT_EQ(limits.maxPerHost, 6);
    }
}

} // namespace
