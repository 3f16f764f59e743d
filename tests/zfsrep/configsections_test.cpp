// The "notify" and "hooks" objects of the configuration: what is accepted
// with which settings, and the one line naming the key and the fault for
// each malformed entry.
#include "configsections.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonObject parsed(const char *text)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text));
    EXPECT_TRUE(document.isObject()) << text;
    return document.object();
}

struct Refused {
    const char *name;
    const char *config;
    const char *error; // the whole line
};

TEST(ConfigSections, NotifyAccepted)
{
    NoticeSettings settings;
    QString error;
    ASSERT_TRUE(ConfigSections::notify(parsed("{}"), settings, error));
    EXPECT_FALSE(settings.isEnabled());
    ASSERT_TRUE(ConfigSections::notify(parsed(R"({"notify": null})"), settings, error));
    EXPECT_FALSE(settings.isEnabled());

    ASSERT_TRUE(ConfigSections::notify(parsed(R"({"notify": {"url": "https://alerts.example/hook?x=1"}})"), settings, error));
    EXPECT_EQ(settings.url, "https://alerts.example/hook?x=1");
    EXPECT_TRUE(settings.command.isEmpty());
    EXPECT_EQ(settings.on, QStringList({"failure", "recovery", "stale"})) << "the default kinds";
    EXPECT_FALSE(settings.wants("success"));

    ASSERT_TRUE(ConfigSections::notify(
        parsed(R"j({"notify": {"command": ["/usr/bin/mail", "-s", "zfsrep; $(x)"], "on": ["success", "failure", "success"]}})j"),
        settings, error))
        << error.toStdString();
    EXPECT_EQ(settings.command, QStringList({"/usr/bin/mail", "-s", "zfsrep; $(x)"}));
    EXPECT_EQ(settings.on, QStringList({"success", "failure"}));
    EXPECT_TRUE(settings.wants("success"));
    EXPECT_FALSE(settings.wants("stale"));

    ASSERT_TRUE(ConfigSections::notify(parsed(R"({"notify": {"url": "http://127.0.0.1:8080/", "on": []}})"), settings, error));
    EXPECT_FALSE(settings.isEnabled()) << "an empty list sends nothing";
}

TEST(ConfigSections, NotifyRefusedNamingKeyAndFault)
{
    const Refused cases[] = {
        {"not an object", R"({"notify": "http://x/"})", "notify: not an object"},
        {"a list", R"({"notify": []})", "notify: not an object"},
        {"nothing to send to", R"({"notify": {"on": ["failure"]}})", "notify: names neither a command nor a url"},
        {"unknown key", R"({"notify": {"url": "http://x/", "mail": "root"}})", "notify.mail: unknown key"},
        {"command a text", R"({"notify": {"command": "/bin/mail root"}})", "notify.command: not a list of strings"},
        {"command with a number", R"({"notify": {"command": ["/bin/mail", 3]}})",
         "notify.command: not a list of strings (item 1)"},
        {"command empty", R"({"notify": {"command": []}})", "notify.command: an empty list"},
        {"relative program", R"({"notify": {"command": ["mail", "root"]}})",
         "notify.command[0]: not an absolute program path"},
        {"control character", R"({"notify": {"command": ["/bin/mail", "a\nb"]}})",
         "notify.command: item 1 holds control characters"},
        {"ftp url", R"({"notify": {"url": "ftp://x/"}})", "notify.url: not an http or https URL"},
        {"url without host", R"({"notify": {"url": "http:///path"}})", "notify.url: not an http or https URL"},
        {"url a number", R"({"notify": {"url": 8080}})", "notify.url: not an http or https URL"},
        {"url no scheme", R"({"notify": {"url": "alerts.example/hook"}})", "notify.url: not an http or https URL"},
        {"on a text", R"({"notify": {"url": "http://x/", "on": "failure"}})", "notify.on: not a list"},
        {"unknown on word", R"({"notify": {"url": "http://x/", "on": ["failure", "fail"]}})",
         "notify.on: unknown word \"fail\" (failure, recovery, success or stale)"},
        {"on not a string", R"({"notify": {"url": "http://x/", "on": [1]}})",
         "notify.on: unknown word (not a string) (failure, recovery, success or stale)"},
    };
    for (const Refused &c : cases) {
        SCOPED_TRACE(c.name);
        NoticeSettings settings;
        settings.url = "left over";
        QString error;
        EXPECT_FALSE(ConfigSections::notify(parsed(c.config), settings, error));
        EXPECT_EQ(error.toStdString(), c.error);
        EXPECT_FALSE(settings.isEnabled());
    }
}

TEST(ConfigSections, HooksAccepted)
{
    QMap<QString, HookDefinition> hooks;
    QString error;
    ASSERT_TRUE(ConfigSections::hooks(parsed("{}"), hooks, error));
    EXPECT_TRUE(hooks.isEmpty());
    ASSERT_TRUE(ConfigSections::hooks(parsed(R"({"hooks": {
        "db freeze": {"pre": ["/usr/local/bin/freeze", "--all"], "post": ["/usr/local/bin/thaw"]},
        "flush": {"pre": ["/bin/sync"], "timeout": 5, "fatal": false},
        "after": {"post": ["/bin/true"]}}})"),
                                      hooks, error))
        << error.toStdString();
    ASSERT_EQ(hooks.size(), 3);
    const HookDefinition freeze = hooks.value("db freeze");
    EXPECT_EQ(freeze.name, "db freeze");
    EXPECT_EQ(freeze.pre, QStringList({"/usr/local/bin/freeze", "--all"}));
    EXPECT_EQ(freeze.post, QStringList({"/usr/local/bin/thaw"}));
    EXPECT_EQ(freeze.timeoutSeconds, 60);
    EXPECT_TRUE(freeze.fatal);
    EXPECT_EQ(hooks.value("flush").timeoutSeconds, 5);
    EXPECT_FALSE(hooks.value("flush").fatal);
    EXPECT_TRUE(hooks.value("flush").post.isEmpty());
    EXPECT_TRUE(hooks.value("after").pre.isEmpty());
}

TEST(ConfigSections, HooksRefusedNamingKeyAndFault)
{
    const Refused cases[] = {
        {"not an object", R"({"hooks": ["a"]})", "hooks: not an object"},
        {"entry not an object", R"({"hooks": {"a": ["/bin/true"]}})", "hooks.a: not an object"},
        {"empty name", R"({"hooks": {"": {"pre": ["/bin/true"]}}})", "hooks.: not a usable hook name"},
        {"name with spaces around", R"({"hooks": {" a": {"pre": ["/bin/true"]}}})", "hooks. a: not a usable hook name"},
        {"neither pre nor post", R"({"hooks": {"a": {"timeout": 3}}})", "hooks.a: names neither pre nor post"},
        {"unknown key", R"({"hooks": {"a": {"pre": ["/bin/true"], "before": ["/bin/true"]}}})",
         "hooks.a.before: unknown key"},
        {"pre a text", R"({"hooks": {"a": {"pre": "/bin/true"}}})", "hooks.a.pre: not a list of strings"},
        {"relative post", R"({"hooks": {"a": {"post": ["thaw"]}}})", "hooks.a.post[0]: not an absolute program path"},
        {"post with an object", R"({"hooks": {"a": {"post": ["/bin/thaw", {}]}}})",
         "hooks.a.post: not a list of strings (item 1)"},
        {"timeout zero", R"({"hooks": {"a": {"pre": ["/bin/true"], "timeout": 0}}})",
         "hooks.a.timeout: not a whole number of seconds from 1 to 86400"},
        {"timeout a fraction", R"({"hooks": {"a": {"pre": ["/bin/true"], "timeout": 1.5}}})",
         "hooks.a.timeout: not a whole number of seconds from 1 to 86400"},
        {"timeout as text", R"({"hooks": {"a": {"pre": ["/bin/true"], "timeout": "60"}}})",
         "hooks.a.timeout: not a whole number of seconds from 1 to 86400"},
        {"timeout huge", R"({"hooks": {"a": {"pre": ["/bin/true"], "timeout": 1e12}}})",
         "hooks.a.timeout: not a whole number of seconds from 1 to 86400"},
        {"fatal as text", R"({"hooks": {"a": {"pre": ["/bin/true"], "fatal": "no"}}})",
         "hooks.a.fatal: not true or false"},
    };
    for (const Refused &c : cases) {
        SCOPED_TRACE(c.name);
        QMap<QString, HookDefinition> hooks{{"old", HookDefinition()}};
        QString error;
        EXPECT_FALSE(ConfigSections::hooks(parsed(c.config), hooks, error));
        EXPECT_EQ(error.toStdString(), c.error);
        EXPECT_TRUE(hooks.isEmpty());
    }
}

} // namespace
