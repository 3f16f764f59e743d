// The mission key "hook": a configured name, for sends and exports only; a
// request and a stored row are judged alike.
#include "hookdefinition.h"
#include "missionvalidator.h"

#include <gtest/gtest.h>

namespace {

class MissionHook : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HookDefinition freeze;
        freeze.name = "freeze";
        freeze.pre = QStringList{"/usr/local/bin/freeze"};
        HookCatalogue::set({{"freeze", freeze}});
    }
    void TearDown() override { HookCatalogue::set({}); }

    static QJsonObject mission(int action, const QJsonValue &hook)
    {
        QJsonObject params{{"caption", "nightly"}, {"action", action}, {"pool", "tank"}, {"name", "data"},
                           {"host", "10.0.0.2"}, {"userid", "zr"}, {"passwd", "pw"}, {"path", "/backup"}};
        if (!hook.isUndefined())
            params.insert("hook", hook);
        return params;
    }
};

TEST_F(MissionHook, RequestTable)
{
    const struct {
        const char *name;
        int action;
        QJsonValue hook;
        const char *expected;
    } cases[] = {
        {"send with a configured hook", 1, "freeze", ""},
        {"export with a configured hook", 3, "freeze", ""},
        {"no hook key", 2, QJsonValue(QJsonValue::Undefined), ""},
        {"an empty hook is none", 4, "", ""},
        {"null is none", 2, QJsonValue(QJsonValue::Null), ""},
        {"an unknown name is named", 1, "thaw", "参数无效: hook: no hook named thaw is configured"},
        {"a pull takes no hook", 2, "freeze", "参数无效: hook: freeze (only send and export missions snapshot)"},
        {"a restore takes no hook", 4, "freeze", "参数无效: hook: freeze (only send and export missions snapshot)"},
        {"a mirror takes no hook", 5, "freeze", "参数无效: hook: freeze (only send and export missions snapshot)"},
        {"a number", 1, 3, "参数无效: hook: 3"},
        {"a long name is cut in the message", 1, QString(100, 'x'),
         "参数无效: hook: no hook named xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx... is configured"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MissionValidator::request(mission(c.action, c.hook)).toStdString(), c.expected);
    }
}

TEST_F(MissionHook, StoredRowWhoseHookLeftTheConfigurationIsNotRun)
{
    QJsonObject stored = mission(1, "freeze");
    stored.insert("port", "22");
    stored.insert("schedules", "[]");
    EXPECT_EQ(MissionValidator::problem(stored), QString());
    HookCatalogue::set({});
    EXPECT_EQ(MissionValidator::problem(stored).toStdString(), "参数无效: hook: no hook named freeze is configured");
}

} // namespace
