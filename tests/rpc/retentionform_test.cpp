// zfsrepctl's retention flags: --keep-source and --keep-target into the
// mission keys, "none" removing a rule, the kinds they apply to, a text that
// cannot be a rule refused before it is sent, and the rules in the detail.
#include "missiondetail.h"
#include "missionform.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

bool parse(const char *command, const QStringList &args, MissionForm &form, QString &error)
{
    return parseMissionForm(QString::fromLatin1(command), args, form, error);
}

TEST(RetentionFlags, AddCarriesBothRules)
{
    MissionForm form;
    QString error;
    ASSERT_TRUE(parse("add",
                      {"--caption", "n", "--send", "tank/data", "--to", "r@h/backup", "--keep-source", "5,1h24h",
                       "--keep-target=10,1d30d,1m1y"},
                      form, error))
        << error.toStdString();
    const QJsonObject params = appendParams(form);
    EXPECT_FALSE(params.contains("carry"));
    EXPECT_EQ(params.value("keepsource").toString(), "5,1h24h");
    EXPECT_EQ(params.value("keeptarget").toString(), "10,1d30d,1m1y");
}

TEST(RetentionFlags, EditChangesOneRuleAndNoneRemovesIt)
{
    MissionForm form;
    QString error;
    ASSERT_TRUE(parse("edit", {"7", "--keep-target", "none"}, form, error)) << error.toStdString();
    const QJsonObject stored{{"msnno", 7},       {"caption", "n"},       {"action", 1},
                             {"pool", "tank"},   {"name", "data"},       {"path", "backup"},
                             {"host", "h"},      {"userid", "r"},        {"keepsource", "5"},
                             {"keeptarget", "9"}};
    QJsonObject params;
    ASSERT_TRUE(changeParams(stored, form, params, error)) << error.toStdString();
    EXPECT_EQ(params.value("keeptarget"), QJsonValue(QString()));
    EXPECT_FALSE(params.contains("keepsource")) << "a key not given is kept by the service";
}

TEST(RetentionFlags, RefusedWhereTheyDoNotApplyOrCannotBeRules)
{
    const struct {
        QStringList args;
        const char *error;
    } cases[] = {
        {{"--caption", "p", "--pull", "r@h/b/d", "--into", "tank/x", "--keep-source", "5"},
         "--keep-source does not apply to pull missions"},
        {{"--caption", "e", "--export", "tank/d", "--dir", "/srv", "--keep-target", "5"},
         "--keep-target does not apply to export missions"},
        {{"--caption", "s", "--send", "tank/d", "--to", "r@h/b", "--keep-source", "5;rm"},
         "--keep-source: '5;rm' is not a retention rule (e.g. 10,1h24h,1d30d,1w12w,1m1y)"},
        {{"--caption", "s", "--send", "tank/d", "--to", "r@h/b", "--carry", "own"}, "--carry: 'own' is not all or series"},
        {{"--caption", "e", "--export", "tank/d", "--dir", "/srv", "--carry", "series"},
         "--carry does not apply to export missions"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        MissionForm form;
        QString error;
        EXPECT_FALSE(parse("add", c.args, form, error));
        EXPECT_EQ(error.toStdString(), std::string(c.error));
    }
}

TEST(RetentionFlags, CarrySeriesIsSent)
{
    MissionForm form;
    QString error;
    ASSERT_TRUE(parse("edit", {"7", "--carry", "series"}, form, error)) << error.toStdString();
    EXPECT_EQ(form.fields.value("carry").toString(), "series");
}

TEST(RetentionFlags, DetailShowsTheRulesAndTheHook)
{
    const QString detail = renderMissionDetail(QJsonObject{{"msnno", 3},
                                                           {"caption", "n"},
                                                           {"action", 1},
                                                           {"pool", "tank"},
                                                           {"name", "data"},
                                                           {"path", "backup"},
                                                           {"host", "h"},
                                                           {"keepsource", "5,1h24h"},
                                                           {"hook", "pgfreeze"}},
                                               Qt::UTC);
    EXPECT_TRUE(detail.contains(QRegularExpression("hook\\s+pgfreeze"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QRegularExpression("keep source\\s+5,1h24h"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QRegularExpression("keep target\\s+none"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QRegularExpression("carry\\s+all"))) << detail.toStdString();
}

} // namespace
