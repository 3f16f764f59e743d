#include "ctloptions.h"
#include "hostkeycommand.h"
#include "missioncommands.h"

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
    CtlOptions versioned;
    EXPECT_TRUE(parseOptions({"--version"}, versioned, error)) << "no command needed";
    EXPECT_TRUE(versioned.version);
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


TEST(ZfsrepctlOptions, MissionSubcommandsBuildTheirRequests)
{
    const struct {
        const char *name;
        QString command;
        QStringList args;
        QJsonObject request;
        bool json;
    } cases[] = {
        {"run", "run", {"3"}, {{"cmd", "zfsrep_mission_run"}, {"params", QJsonObject{{"msnno", 3}}}}, false},
        {"cancel with --json", "cancel", {"--json", "12"},
         {{"cmd", "zfsrep_mission_cancel"}, {"params", QJsonObject{{"msnno", 12}}}}, true},
        {"history default limit", "history", {"3"},
         {{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", 3}, {"limit", kDefaultHistoryLimit}}}},
         false},
        {"history --limit K", "history", {"3", "--limit", "5"},
         {{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", 3}, {"limit", 5}}}}, false},
        {"history --limit=K first", "history", {"--limit=1000", "3", "--json"},
         {{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", 3}, {"limit", 1000}}}}, true},
        {"metrics", "metrics", {}, {{"cmd", "zfsrep_metrics"}, {"params", QJsonObject{}}}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(isMissionCommand(c.command));
        MissionArgs args;
        QString error;
        ASSERT_TRUE(parseMissionArgs(c.command, c.args, args, error)) << error.toStdString();
        EXPECT_EQ(missionRequest(c.command, args), c.request);
        EXPECT_EQ(args.json, c.json);
    }
    EXPECT_FALSE(isMissionCommand("watch"));
    EXPECT_FALSE(isMissionCommand("zfsrep_mission_run"));
}

TEST(ZfsrepctlOptions, MissionSubcommandsRejectBadArguments)
{
    const struct {
        QString command;
        QStringList args;
    } cases[] = {
        {"run", {}},
        {"run", {"0"}},
        {"run", {"-3"}},
        {"run", {"three"}},
        {"run", {"3", "4"}},
        {"run", {"3", "--limit", "5"}},
        {"cancel", {"99999999999"}},
        {"cancel", {"msnno=3"}},
        {"history", {"3", "--limit"}},
        {"history", {"3", "--limit", "0"}},
        {"history", {"3", "--limit=many"}},
        {"history", {"--limit", "5"}},
        {"metrics", {"3"}},
        {"metrics", {"--all"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((c.command + ' ' + c.args.join(' ')).toStdString());
        MissionArgs args;
        QString error;
        EXPECT_FALSE(parseMissionArgs(c.command, c.args, args, error));
        EXPECT_TRUE(error.startsWith(c.command)) << error.toStdString();
    }
}

TEST(ZfsrepctlOptions, MissionSubcommandsSayWhatHappened)
{
    MissionArgs args;
    args.msnno = 3;
    EXPECT_EQ(missionAnswerText("run", args, QJsonObject{{"err", 0}}), "mission 3 started\n");
    EXPECT_EQ(missionAnswerText("cancel", args, QJsonObject{{"err", 0}}),
              "mission 3: its transfer was asked to end\n");
    const QString metrics = "# TYPE zfsrep_mission_running gauge\nzfsrep_mission_running{msnno=\"3\"} 0";
    EXPECT_EQ(missionAnswerText("metrics", args, QJsonObject{{"results", QJsonObject{{"text", metrics}}}}),
              metrics + "\n");
    EXPECT_EQ(missionAnswerText("history", args, QJsonObject{{"results", QJsonArray()}}), "no runs\n");
}

} // namespace

TEST(HostKeyArgs, ForgetTakesAHostAndAnOptionalPort)
{
    const struct {
        QStringList args;
        bool ok;
        QString host;
        int port;
        bool json;
    } cases[] = {
        {{"forget", "backup.example"}, true, "backup.example", 22, false},
        {{"forget", "127.0.0.1", "2222"}, true, "127.0.0.1", 2222, false},
        {{"forget", "::1", "2200", "--json"}, true, "::1", 2200, true},
        {{"--json", "forget", "h"}, true, "h", 22, true},
        {{}, false, "", 22, false},
        {{"forget"}, false, "", 22, false},
        {{"remember", "h"}, false, "", 22, false},
        {{"forget", "-oProxyCommand=x"}, false, "", 22, false},
        {{"forget", "h", "0"}, false, "", 22, false},
        {{"forget", "h", "65536"}, false, "", 22, false},
        {{"forget", "h", "22x"}, false, "", 22, false},
        {{"forget", "h", "22", "extra"}, false, "", 22, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        HostKeyArgs parsed;
        QString error;
        EXPECT_EQ(parseHostKeyArgs(c.args, parsed, error), c.ok) << error.toStdString();
        if (!c.ok) {
            EXPECT_FALSE(error.isEmpty());
            continue;
        }
        EXPECT_EQ(parsed.host, c.host);
        EXPECT_EQ(parsed.port, c.port);
        EXPECT_EQ(parsed.json, c.json);
        EXPECT_EQ(hostKeyRequest(parsed),
                  (QJsonObject{{"cmd", "zfsrep_hostkey_forget"}, {"params", QJsonObject{{"host", c.host}, {"port", c.port}}}}));
    }
}
