// zfsrepctl's list table and the words of `remove`: pure functions.
#include "listcommand.h"
#include "listview.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

namespace {

QJsonObject row(int msnno, int action, const QJsonObject &extra = QJsonObject())
{
    QJsonObject m{{"msnno", msnno}, {"caption", QStringLiteral("m%1").arg(msnno)}, {"action", action},
                  {"pool", "tank"}, {"name", "data"}, {"host", "10.0.0.2"}, {"port", "2222"},
                  {"userid", "replica"}, {"path", "backup"}, {"done", 0}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        m.insert(it.key(), it.value());
    return m;
}

TEST(ListView, FromAndToFollowTheKind)
{
    const struct {
        const char *name;
        QJsonObject mission;
        const char *from;
        const char *to;
    } cases[] = {
        {"send", row(1, 1), "tank/data", "replica@10.0.0.2:2222/backup"},
        {"pull", row(2, 2), "replica@10.0.0.2:2222/backup", "tank/data"},
        {"export", row(3, 3, {{"path", "/srv/exports"}}), "tank/data", "/srv/exports"},
        {"restore", row(4, 4, {{"path", "/srv/exports/tank/data@s.gz.zsa"}}), "/srv/exports/tank/data@s.gz.zsa",
         "tank/data"},
        {"ipv6 and no port", row(5, 1, {{"host", "fe80::1"}, {"port", "0"}}), "tank/data",
         "replica@[fe80::1]:22/backup"},
        {"port as a number", row(6, 1, {{"port", 22}}), "tank/data", "replica@10.0.0.2:22/backup"},
        {"mirror", row(7, 5, {{"path", "prod/data"}}), "replica@10.0.0.2:2222/prod/data", "tank/data"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(missionSource(c.mission), QString::fromUtf8(c.from));
        EXPECT_EQ(missionTarget(c.mission), QString::fromUtf8(c.to));
    }
    EXPECT_EQ(kindName(1), "send");
    EXPECT_EQ(kindName(2), "pull");
    EXPECT_EQ(kindName(5), "mirror");
    EXPECT_EQ(kindName(7), "action 7");
}

TEST(ListView, OneAlignedLinePerMission)
{
    const QJsonArray records{
        row(3, 1, {{"caption", "Nightly"}, {"state", "armed"}, {"nextrun", 1796700600}, {"lastresult", "succeeded"}}),
        row(12, 3, {{"caption", "Archive"}, {"path", "/srv/exports"}, {"state", "pending"}}),
    };
    const QStringList lines = renderMissionList(records, Qt::UTC).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines.at(0), "MSNNO  CAPTION  KIND    FROM       TO                            STATE    NEXT RUN"
                           "             LAST");
    EXPECT_EQ(lines.at(1), "3      Nightly  send    tank/data  replica@10.0.0.2:2222/backup  armed    "
                           "2026-12-08 03:30:00  succeeded");
    EXPECT_EQ(lines.at(2), "12     Archive  export  tank/data  /srv/exports                  pending  -"
                           "                    -");
}

TEST(ListView, NoMissions)
{
    EXPECT_EQ(renderMissionList(QJsonArray()), "no missions\n");
}

TEST(ListView, OlderServiceWithoutRunFieldsShowsDashes)
{
    const QJsonArray records{row(1, 1, {{"finishedtime", ""}})};
    const QStringList lines = renderMissionList(records, Qt::UTC).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.at(1).endsWith("waiting  -         -")) << lines.at(1).toStdString();
}

TEST(RemoveArgs, ReadsNumberYesAndJson)
{
    const struct {
        const char *name;
        QStringList args;
        int msnno;
        bool yes;
        bool json;
    } cases[] = {
        {"plain", {"3"}, 3, false, false},
        {"yes", {"3", "--yes"}, 3, true, false},
        {"short yes first", {"-y", "12"}, 12, true, false},
        {"json", {"--json", "4", "--yes"}, 4, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveArgs out;
        QString error;
        ASSERT_TRUE(parseRemoveArgs(c.args, out, error)) << error.toStdString();
        EXPECT_EQ(out.msnno, c.msnno);
        EXPECT_EQ(out.yes, c.yes);
        EXPECT_EQ(out.json, c.json);
    }
}

TEST(RemoveArgs, RejectsBadWords)
{
    const struct {
        const char *name;
        QStringList args;
        const char *error;
    } cases[] = {
        {"none", {}, "remove needs a mission number (msnno)"},
        {"only yes", {"--yes"}, "remove needs a mission number (msnno)"},
        {"zero", {"0"}, "remove: the mission number must be a positive whole number, not \"0\""},
        {"word", {"three"}, "remove: the mission number must be a positive whole number, not \"three\""},
        {"plus", {"+3"}, "remove: the mission number must be a positive whole number, not \"+3\""},
        {"negative", {"-3"}, "remove: unexpected argument \"-3\""},
        {"two numbers", {"3", "4"}, "remove: unexpected argument \"4\""},
        {"unknown flag", {"3", "--force"}, "remove: unexpected argument \"--force\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveArgs out;
        QString error;
        EXPECT_FALSE(parseRemoveArgs(c.args, out, error));
        EXPECT_EQ(error, QString::fromUtf8(c.error));
    }
}

TEST(RemoveArgs, OnlyYesMeansYes)
{
    for (const char *yes : {"y", "Y", "yes", " YES ", "Yes"})
        EXPECT_TRUE(isYes(QString::fromUtf8(yes))) << yes;
    for (const char *no : {"", "n", "no", "yess", "ja", "y y", "1"})
        EXPECT_FALSE(isYes(QString::fromUtf8(no))) << no;
}

TEST(ListArgs, JsonOnly)
{
    bool json = false;
    QString error;
    EXPECT_TRUE(parseListArgs({}, json, error));
    EXPECT_FALSE(json);
    EXPECT_TRUE(parseListArgs({"--json"}, json, error));
    EXPECT_TRUE(json);
    EXPECT_FALSE(parseListArgs({"3"}, json, error));
    EXPECT_EQ(error, "list: unexpected argument \"3\"");
}

} // namespace
