#include "ctloptions.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

TEST(ZfsrepctlOptions, ReadsGlobalOptionsAnywhere)
{
    const struct {
        const char *name;
        QStringList args;
        QString socket;
        int timeout;
        QString command;
        QStringList rest;
    } cases[] = {
        {"defaults", {"help_interfaces"}, kDefaultSocket, kDefaultTimeoutSeconds, "help_interfaces", {}},
        {"before", {"--socket", "/x.sock", "--timeout", "5", "c", "a=1"}, "/x.sock", 5, "c", {"a=1"}},
        {"after", {"c", "a=1", "--timeout=7", "--socket=n"}, "n", 7, "c", {"a=1"}},
        {"json stays with the call", {"c", "--json", "{}"}, kDefaultSocket, kDefaultTimeoutSeconds, "c", {"--json", "{}"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CtlOptions options;
        QString error;
        ASSERT_TRUE(parseOptions(c.args, options, error)) << error.toStdString();
        EXPECT_EQ(options.socket, c.socket);
        EXPECT_EQ(options.timeout, c.timeout);
        EXPECT_EQ(options.command, c.command);
        EXPECT_EQ(options.args, c.rest);
    }
}

TEST(ZfsrepctlOptions, RejectsBadOptions)
{
    const QStringList bad[] = {
        {}, {"--socket"}, {"c", "--socket="}, {"c", "--timeout", "0"}, {"c", "--timeout", "soon"},
        {"c", "--timeout"}, {"--timeout=-3", "c"},
    };
    for (const QStringList &args : bad) {
        SCOPED_TRACE(args.join(' ').toStdString());
        CtlOptions options;
        QString error;
        EXPECT_FALSE(parseOptions(args, options, error));
        EXPECT_FALSE(error.isEmpty());
    }
    CtlOptions options;
    QString error;
    EXPECT_TRUE(parseOptions({"--help"}, options, error));
    EXPECT_TRUE(options.help);
}

TEST(ZfsrepctlOptions, ReadsWordValuesAsJsonWhenTheyParse)
{
    const struct {
        const char *text;
        QJsonValue value;
    } cases[] = {
        {"42", 42},
        {"-1.5", -1.5},
        {"true", true},
        {"false", false},
        {"null", QJsonValue::Null},
        {"[1,\"a\"]", QJsonArray{1, "a"}},
        {"{\"k\":1}", QJsonObject{{"k", 1}}},
        {"\"quoted\"", "quoted"},
        {"tank/data", "tank/data"},
        {"", ""},
        {"1,2", "1,2"},
        {"0x10", "0x10"},
        {"True", "True"},
        {"{broken", "{broken"},
        {"a b", "a b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseWordValue(QString::fromUtf8(c.text)), c.value);
    }
}

TEST(ZfsrepctlOptions, BuildsTheRequest)
{
    QJsonObject request;
    QString error;
    ASSERT_TRUE(buildRequest("zfsrep_mission_append",
                             {"--json", "{\"pool\":\"tank\",\"port\":22}", "port=2222", "caption=nightly run",
                              "schedules=[{\"hours\":[1]}]", "expr=a=b"},
                             request, error));
    EXPECT_EQ(request, (QJsonObject{{"cmd", "zfsrep_mission_append"},
                                    {"params", QJsonObject{{"pool", "tank"},
                                                           {"port", 2222},
                                                           {"caption", "nightly run"},
                                                           {"schedules", QJsonArray{QJsonObject{{"hours", QJsonArray{1}}}}},
                                                           {"expr", "a=b"}}}}));
    ASSERT_TRUE(buildRequest("help_interfaces", {}, request, error));
    EXPECT_EQ(request, (QJsonObject{{"cmd", "help_interfaces"}})) << "no empty params";

    const QStringList bad[] = {{"novalue"}, {"=1"}, {"--json"}, {"--json", "[1]"}, {"--json={"}};
    for (const QStringList &args : bad) {
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_FALSE(buildRequest("c", args, request, error));
        EXPECT_FALSE(error.isEmpty());
    }
}

} // namespace
