// zfsrepctl add/edit flags -> the mission fields sent to the service, the
// refusals that name the flag, the edit that keeps what no flag names, the
// masking of passwords and the rule for the socket's peer.
#include "missiondetail.h"
#include "fieldtext.h"
#include "missionform.h"
#include "passwordinput.h"
#include "serviceclient.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

namespace {

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

std::string show(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

QStringList words(const char *line)
{
    return QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

TEST(MissionForm, AddBuildsTheAppendOfEachKind)
{
    const struct {
        const char *args;
        const char *params;
    } cases[] = {
        {"--caption nightly --send tank/data --to replica@10.0.0.2:2222/backup/x",
         R"({"action":1,"caption":"nightly","pool":"tank","name":"data","host":"10.0.0.2","port":2222,
             "userid":"replica","path":"backup/x"})"},
        {"--caption=n --send tank/a/b --to 10.0.0.2/backup --user replica --port 22 --series NIGHT --erase "
         "--ratelimit 10M --schedule days=mon-fri,hours=2 --schedule minutes=*/30",
         R"({"action":1,"caption":"n","pool":"tank","name":"a/b","host":"10.0.0.2","path":"backup",
             "userid":"replica","port":22,"snapname":"NIGHT","erase":true,"ratelimit":10485760,
             "schedules":[{"weeks":[1,2,3,4,5],"hours":[2],"minutes":[0]},{"minutes":[0,30]}]})"},
        {"--caption back --pull r@[fe80::1]:22/backup/data@ZFSREP_1 --into tank/restored --once",
         R"({"action":2,"caption":"back","host":"fe80::1","port":22,"userid":"r","path":"backup/data@ZFSREP_1",
             "pool":"tank","name":"restored","schedules":[]})"},
        {"--caption ex --export tank/data --dir /srv/exports --no-erase --increment --encrypt --no-encrypt-key",
         R"({"action":3,"caption":"ex","pool":"tank","name":"data","path":"/srv/exports","erase":false,
             "increment":true,"encrypt":true,"encryptkey":false})"},
        {"--caption hooked --export tank/db --dir /srv/exports --hook freeze",
         R"({"action":3,"caption":"hooked","pool":"tank","name":"db","path":"/srv/exports","hook":"freeze"})"},
        {"--caption re --restore /srv/exports/data.gz --into tank/back --ratelimit none",
         R"({"action":4,"caption":"re","path":"/srv/exports/data.gz","pool":"tank","name":"back","ratelimit":0})"},
        {"--caption pulled --mirror backup@prod1:2222/prod/data --into tank/prod --erase --keep-target 30,1d30d "
         "--carry series --ratelimit 20M",
         R"({"action":5,"caption":"pulled","host":"prod1","port":2222,"userid":"backup","path":"prod/data",
             "pool":"tank","name":"prod","erase":true,"keeptarget":"30,1d30d","carry":"series","ratelimit":20971520})"},
        {"--caption pulled --mirror prod1/prod --into tank/p --user backup --keep-source 10 --schedule hours=1,13",
         R"({"action":5,"caption":"pulled","host":"prod1","path":"prod","pool":"tank","name":"p","userid":"backup",
             "keepsource":"10","schedules":[{"hours":[1,13],"minutes":[0]}]})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        MissionForm form;
        QString error;
        QStringList args = words(c.args);
        args.replaceInStrings(QStringLiteral("mon-fri,hours"), QStringLiteral("mon-fri hours")); // one word
        ASSERT_TRUE(parseMissionForm("add", args, form, error)) << error.toStdString();
        EXPECT_EQ(show(appendParams(form)), show(object(c.params)));
        EXPECT_EQ(form.password, PasswordSource::Unchanged);
    }
}

TEST(MissionForm, RefusalsNameTheFlag)
{
    const struct {
        const char *command;
        const char *args;
        const char *error;
    } cases[] = {
        {"add", "--send tank/d --to r@h/b", "add needs --caption TEXT"},
        {"add", "--caption c", "add needs one of --send, --pull, --export, --restore, --mirror"},
        {"add", "--caption c --send tank/d", "--send needs --to"},
        {"add", "--caption c --pull r@h/x --into tank/d --hook freeze", "--hook does not apply to pull missions"},
        {"add", "--caption c --restore /f", "--restore needs --into"},
        {"add", "--caption c --send tank/d --to h/b", "--to: no remote user; give USER@HOST or --user NAME"},
        {"add", "--caption c --send tank --to r@h/b", "--send: 'tank' is not POOL/DATASET"},
        {"add", "--caption c --send tank/d@s --to r@h/b", "--send: 'tank/d@s' is not a dataset name"},
        {"add", "--caption c --send tank/d --to r@h", "--to: no /PATH after the host in 'r@h'"},
        {"add", "--caption c --send tank/d --to r@h:0/b", "--to: port '0' is not 1-65535"},
        {"add", "--caption c --send tank/d --to r@h:/b", "--to: port '' is not 1-65535"},
        {"add", "--caption c --send tank/d --to r@-oProxy/b", "--to: host '-oProxy' starts with '-'"},
        {"add", "--caption c --send tank/d --to r@h/b --port 70000", "--port: '70000' is not 1-65535"},
        {"add", "--caption c --send tank/d --to h/b --user -l", "--user: '-l' is not a user name"},
        {"add", "--caption c --send tank/d --to r@h/b --pull r@h/x", "--pull: only one of --send, --pull, --export, --restore, --mirror may be given"},
        {"add", "--caption c --export tank/d --dir exports", "--dir: 'exports' is not an absolute path"},
        {"add", "--caption c --restore f.gz --into tank/d", "--restore: 'f.gz' is not an absolute path"},
        {"add", "--caption c --export tank/d --dir /x --to r@h/b", "--to does not apply to export missions"},
        {"add", "--caption c --export tank/d --dir /x --password-fd 3", "--password-fd does not apply to export missions"},
        {"add", "--caption c --send tank/d --to r@h/b --schedule days=mnday", "--schedule: days: unknown day 'mnday'"},
        {"add", "--caption c --send tank/d --to r@h/b --schedule hours=1 --once",
         "--once: a mission with --schedule runs on its schedule, not once"},
        {"add", "--caption c --send tank/d --to r@h/b --ratelimit fast", "--ratelimit: 'fast' is not a rate (bytes per second, e.g. 10M, 512K, 0 for none)"},
        {"add", "--caption c --send tank/d --to r@h/b --ratelimit -1", "--ratelimit: '-1' is not a rate (bytes per second, e.g. 10M, 512K, 0 for none)"},
        {"add", "--caption c --send tank/d --to r@h/b --series a;b", "--series: 'a;b' is not a snapshot series name (letters, digits, _ . : -)"},
        {"add", "--caption c --send tank/d --to r@h/b --password-fd x", "--password-fd: 'x' is not a file descriptor number"},
        {"add", "--caption c --send tank/d --to r@h/b --password-fd 3 --no-password",
         "--password-fd, --ask-password and --no-password exclude each other"},
        {"add", "--caption c --send tank/d --to r@h/b --password secret", "add: unknown argument \"--password\""},
        {"add", "--caption c --send tank/d --to", "--to needs a value"},
        {"add", "--caption c --mirror r@h/prod/data", "--mirror needs --into"},
        {"add", "--caption c --mirror h/prod/data --into tank/d", "--mirror: no remote user; give USER@HOST or --user NAME"},
        {"add", "--caption c --mirror r@h/prod/data@daily_1 --into tank/d",
         "--mirror: a mirror pulls a dataset, not a snapshot"},
        {"add", "--caption c --mirror r@h --into tank/d", "--mirror: no /PATH after the host in 'r@h'"},
        {"add", "--caption c --mirror r@-oProxy/prod --into tank/d", "--mirror: host '-oProxy' starts with '-'"},
        {"add", "--caption c --mirror r@h/prod --into tank/d --hook freeze", "--hook does not apply to mirror missions"},
        {"add", "--caption c --mirror r@h/prod --into tank/d --to r@h/b", "--to does not apply to mirror missions"},
        {"add", "--caption c --mirror r@h/prod --into tank/d --dir /x", "--dir does not apply to mirror missions"},
        {"add", "--caption c --mirror r@h/prod --send tank/d",
         "--send: only one of --send, --pull, --export, --restore, --mirror may be given"},
        {"add", "--caption c --pull r@h/x --into tank/d --keep-target 10", "--keep-target does not apply to pull missions"},
        {"edit", "--erase", "edit needs a mission number (msnno)"},
        {"edit", "0 --erase", "edit: the mission number must be a positive whole number, not \"0\""},
        {"edit", "3 --caption other", "--caption: the service keeps a mission's caption; add a new mission instead"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        MissionForm form;
        QString error;
        EXPECT_FALSE(parseMissionForm(c.command, words(c.args), form, error));
        EXPECT_EQ(error.toStdString(), c.error);
    }
}

TEST(MissionForm, EditChangesOnlyTheGivenFields)
{
    // As zfsrep_mission_alload lists it: port as text, state fields besides.
    const QJsonObject stored = object(R"({"msnno":3,"caption":"nightly","action":1,"pool":"tank","name":"data",
        "path":"backup","host":"10.0.0.2","port":"22","userid":"replica","passwd":"s3cret","snapname":"ZFSREP",
        "increment":0,"erase":true,"encrypt":false,"encryptkey":false,"schedules":[{"hours":[2],"minutes":[30]}],
        "ratelimit":0,"done":0,"state":"armed","nextrun":1765162800,"lasterror":"","speed":"1MiB/s"})");
    const struct {
        QStringList args;
        const char *changed; // merged over the stored fields
    } cases[] = {
        {{"3", "--ratelimit", "512K"}, R"({"ratelimit":524288})"},
        {{"3", "--schedule", "days=sat hours=4"}, R"({"schedules":[{"weeks":[6],"hours":[4],"minutes":[0]}]})"},
        {{"3", "--once"}, R"({"schedules":[]})"},
        {{"3", "--hook", "freeze"}, R"({"hook":"freeze"})"},
        {{"3", "--hook", ""}, R"({"hook":""})"},
        {{"3", "--to", "other@10.0.0.9:2200/vault", "--no-erase"},
         R"({"userid":"other","host":"10.0.0.9","port":2200,"path":"vault","erase":false})"},
        {{"3", "--send", "tank/web"}, R"({"pool":"tank","name":"web"})"},
        {{"--series", "WEEKLY", "3"}, R"({"snapname":"WEEKLY"})"},
        {{"3", "--no-password"}, R"({})"}, // the password itself is filled in by the caller
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        MissionForm form;
        QString error;
        ASSERT_TRUE(parseMissionForm("edit", c.args, form, error)) << error.toStdString();
        EXPECT_EQ(form.msnno, 3);
        QJsonObject params;
        ASSERT_TRUE(changeParams(stored, form, params, error)) << error.toStdString();
        QJsonObject expected = object(R"({"msnno":3,"caption":"nightly","action":1,"pool":"tank","name":"data",
            "path":"backup","host":"10.0.0.2","port":"22","userid":"replica","passwd":"s3cret","snapname":"ZFSREP",
            "increment":0,"erase":true,"encrypt":false,"encryptkey":false,
            "schedules":[{"hours":[2],"minutes":[30]}],"ratelimit":0})");
        const QJsonObject changed = object(c.changed);
        for (auto it = changed.begin(); it != changed.end(); ++it)
            expected.insert(it.key(), it.value());
        EXPECT_EQ(show(params), show(expected));
    }
}

TEST(MissionForm, EditRefusesFlagsOfAnotherKind)
{
    const QJsonObject exportMission = object(R"({"msnno":4,"action":3,"pool":"tank","name":"d","path":"/x"})");
    const struct {
        const char *args;
        const char *error;
    } cases[] = {
        {"4 --pull r@h/x", "--pull: mission 4 is of kind export; its kind cannot change"},
        {"4 --to r@h/b", "--to does not apply to export missions"},
        {"4 --user bob", "--user does not apply to export missions"},
        {"4 --no-password", "--no-password does not apply to export missions"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        MissionForm form;
        QString error;
        ASSERT_TRUE(parseMissionForm("edit", words(c.args), form, error)) << error.toStdString();
        QJsonObject params;
        EXPECT_FALSE(changeParams(exportMission, form, params, error));
        EXPECT_EQ(error.toStdString(), c.error);
    }
}

TEST(MissionForm, EditOfAMirrorKeepsItsKind)
{
    const QJsonObject mirror = object(R"({"msnno":5,"caption":"pulled","action":5,"pool":"tank","name":"prod",
        "path":"prod/data","host":"prod1","port":"22","userid":"backup","passwd":"s3cret","snapname":"ZFSREP"})");
    const struct {
        const char *args;
        const char *changed; // empty: refused with `error`
        const char *error;
    } cases[] = {
        {"5 --mirror backup@prod2:2200/prod/web", R"({"host":"prod2","port":2200,"userid":"backup","path":"prod/web"})", ""},
        {"5 --into tank/other --erase", R"({"pool":"tank","name":"other","erase":true})", ""},
        {"5 --keep-target 7 --carry all", R"({"keeptarget":"7","carry":"all"})", ""},
        {"5 --send tank/d", "", "--send: mission 5 is of kind mirror; its kind cannot change"},
        {"5 --dir /x", "", "--dir does not apply to mirror missions"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        MissionForm form;
        QString error;
        ASSERT_TRUE(parseMissionForm("edit", words(c.args), form, error)) << error.toStdString();
        QJsonObject params;
        const bool changed = changeParams(mirror, form, params, error);
        if (QByteArray(c.changed).isEmpty()) {
            EXPECT_FALSE(changed);
            EXPECT_EQ(error.toStdString(), c.error);
            continue;
        }
        ASSERT_TRUE(changed) << error.toStdString();
        QJsonObject expected = mirror;
        const QJsonObject fields = object(c.changed);
        for (auto it = fields.begin(); it != fields.end(); ++it)
            expected.insert(it.key(), it.value());
        EXPECT_EQ(show(params), show(expected));
    }
}

TEST(MissionForm, RatesInBinaryUnits)
{
    const struct {
        const char *text;
        qint64 bytes;
    } good[] = {{"0", 0},          {"none", 0},           {"123", 123},           {"512K", 524288},
                {"10M", 10485760}, {"10MiB/s", 10485760}, {"1.5g", 1610612736}, {"2 MB/s", 2097152},
                {"1T", 1099511627776}};
    for (const auto &c : good) {
        SCOPED_TRACE(c.text);
        qint64 rate = -1;
        QString why;
        ASSERT_TRUE(parseRate(c.text, rate, why)) << why.toStdString();
        EXPECT_EQ(rate, c.bytes);
    }
    for (const char *bad : {"", "-1", "10X", "1e6", "M", "10M/h", "99999999T"}) {
        SCOPED_TRACE(bad);
        qint64 rate = -1;
        QString why;
        EXPECT_FALSE(parseRate(bad, rate, why));
        EXPECT_FALSE(why.isEmpty());
    }
}

TEST(MissionDetail, PasswordsAreMaskedWhereverTheyStand)
{
    const QJsonObject answer = object(R"({"err":0,"results":{"records":[
        {"msnno":3,"passwd":"s3cret","host":"h"},{"msnno":4,"passwd":""},{"msnno":5,"nested":[{"passwd":"x"}]}]}})");
    const QJsonObject masked = maskSecrets(answer).toObject();
    const QByteArray text = QJsonDocument(masked).toJson();
    EXPECT_FALSE(text.contains("s3cret"));
    EXPECT_FALSE(text.contains("\"x\""));
    const QJsonArray records = masked.value("results").toObject().value("records").toArray();
    EXPECT_EQ(records.at(0).toObject().value("passwd").toString(), kMaskedPassword);
    EXPECT_EQ(records.at(0).toObject().value("host").toString(), "h");
    EXPECT_EQ(records.at(1).toObject().value("passwd").toString(), "") << "no password stays visible as such";
}

TEST(MissionDetail, ShowsOneMissionWithoutItsPassword)
{
    const QJsonObject m = object(R"({"msnno":3,"caption":"nightly","action":1,"pool":"tank","name":"data",
        "path":"backup","host":"10.0.0.2","port":"2222","userid":"replica","passwd":"s3cret","snapname":"ZFSREP",
        "erase":true,"schedules":[{"weeks":[1,2,3,4,5],"hours":[2],"minutes":[30]}],"ratelimit":10485760,
        "state":"failed","lastrun":1765152300,"lastresult":"failed","lasterror":"cannot open 'tank/data'\nmore"})");
    const std::string text = renderMissionDetail(m, Qt::UTC).toStdString();
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    for (const char *line : {"mission 3  nightly\n", "  kind        send\n", "  dataset     tank/data\n",
                             "  to          replica@10.0.0.2:2222/backup\n", "  password    ********\n",
                             "  schedule    days=mon-fri hours=2 minutes=30\n", "  ratelimit   10.0 MiB/s\n",
                             "  erase       yes\n", "  last run    2025-12-08 00:05:00 failed\n",
                             "  error       cannot open 'tank/data'\n", "              more\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}

TEST(MissionDetail, ShowsAMirrorFromTheRemoteHostIntoItsReplica)
{
    const QJsonObject m = object(R"({"msnno":5,"caption":"pulled","action":5,"pool":"vault","name":"prod",
        "path":"tank/data","host":"prod1","port":"22","userid":"backup","passwd":"s3cret","snapname":"ZFSREP",
        "erase":true,"keeptarget":"48,1d30d","carry":"series","schedules":[{"minutes":[0]}]})");
    const std::string text = renderMissionDetail(m, Qt::UTC).toStdString();
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    for (const char *line : {"  kind        mirror (incremental pull)\n", "  from        backup@prod1:22/tank/data\n",
                             "  into        vault/prod\n", "  password    ********\n", "  keep source  none\n",
                             "  keep target  48,1d30d\n", "  carry       series\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_EQ(text.find("hook"), std::string::npos) << "a mirror runs no hook\n" << text;
}

TEST(ServiceClient, OnlyRootOrTheCallerMayServeTheSocket)
{
    EXPECT_TRUE(peerRefusal(0, 1000).isEmpty());
    EXPECT_TRUE(peerRefusal(1000, 1000).isEmpty());
    EXPECT_TRUE(peerRefusal(0, 0).isEmpty());
    const QString refused = peerRefusal(1001, 1000);
    EXPECT_TRUE(refused.contains("uid 1001")) << refused.toStdString();
    EXPECT_TRUE(refused.contains("nothing was sent")) << refused.toStdString();
    EXPECT_FALSE(peerRefusal(65534, 0).isEmpty()) << "root does not talk to nobody's socket";
}

TEST(PasswordInput, OneLineFromADescriptor)
{
    EXPECT_EQ(passwordFromLine("s3cret\n").toStdString(), "s3cret");
    EXPECT_EQ(passwordFromLine("s3cret\r\nrest").toStdString(), "s3cret");
    EXPECT_EQ(passwordFromLine(" with blanks ").toStdString(), " with blanks ") << "kept exactly";
    EXPECT_EQ(passwordFromLine("").toStdString(), "");

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const char text[] = "pa ss;$(x)\nnext line";
    ASSERT_EQ(::write(fds[1], text, sizeof text - 1), ssize_t(sizeof text - 1));
    ::close(fds[1]);
    QString password;
    QString error;
    ASSERT_TRUE(readPasswordFd(fds[0], password, error)) << error.toStdString();
    EXPECT_EQ(password.toStdString(), "pa ss;$(x)");
    ::close(fds[0]);

    EXPECT_FALSE(readPasswordFd(9999, password, error));
    EXPECT_TRUE(error.startsWith("--password-fd 9999: ")) << error.toStdString();
}

} // namespace
