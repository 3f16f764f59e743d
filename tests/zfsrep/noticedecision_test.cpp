// Which notice a finished run yields and when a scheduled mission is stale,
// on tables; and what a notice carries (never a password, no control
// characters).
#include "notice.h"
#include "noticedecision.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

NoticeSettings wanting(const QStringList &on)
{
    NoticeSettings settings;
    settings.url = QStringLiteral("http://127.0.0.1:9/");
    settings.on = on;
    return settings;
}

RunRecord runWith(const QString &outcome, qint64 runno = 1)
{
    RunRecord run;
    run.runno = runno;
    run.outcome = outcome;
    return run;
}

TEST(NoticeDecision, AfterRunTable)
{
    const QStringList all{"failure", "recovery", "success", "stale"};
    const QStringList usual{"failure", "recovery", "stale"};
    struct Case {
        const char *name;
        const char *outcome;
        const char *previous;
        QStringList on;
        const char *notice;
    };
    const Case cases[] = {
        {"a failure after a success", "failed", "succeeded", usual, "failure"},
        {"a failure after a failure is announced again", "failed", "failed", usual, "failure"},
        {"a first run that fails", "failed", "", usual, "failure"},
        {"a stalled transfer is a failure", "stalled", "succeeded", usual, "failure"},
        {"a failure nobody asked for", "failed", "succeeded", QStringList{"recovery"}, ""},
        {"the first success after a failure", "succeeded", "failed", usual, "recovery"},
        {"the first success after a stall", "succeeded", "stalled", usual, "recovery"},
        {"recovery wins over success", "succeeded", "failed", all, "recovery"},
        {"a recovery told as success when only success is wanted", "succeeded", "failed", QStringList{"success"},
         "success"},
        {"a healthy success is quiet", "succeeded", "succeeded", usual, ""},
        {"a first success is quiet", "succeeded", "", usual, ""},
        {"a healthy success when success is wanted", "succeeded", "succeeded", all, "success"},
        {"a cancel yields nothing", "cancelled", "succeeded", all, ""},
        {"an interruption yields nothing", "interrupted", "failed", all, ""},
        {"nothing at all wanted", "failed", "succeeded", QStringList(), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NoticeDecision::afterRun(c.outcome, c.previous, wanting(c.on)).toStdString(), c.notice);
    }
    NoticeSettings nowhere;
    nowhere.on = all;
    EXPECT_EQ(NoticeDecision::afterRun("failed", "succeeded", nowhere), QString()) << "no receiver, no notice";
}

TEST(NoticeDecision, LastVerdictSkipsCancelsAndInterruptions)
{
    EXPECT_EQ(NoticeDecision::lastVerdict({}), QString());
    EXPECT_EQ(NoticeDecision::lastVerdict({runWith("cancelled"), runWith("interrupted")}), QString());
    EXPECT_EQ(NoticeDecision::lastVerdict({runWith("cancelled"), runWith("failed"), runWith("succeeded")}), "failed");
    EXPECT_EQ(NoticeDecision::lastVerdict({runWith("succeeded"), runWith("failed")}), "succeeded");
    EXPECT_EQ(NoticeDecision::lastVerdict({runWith("running"), runWith("stalled")}), "stalled");
}

TEST(NoticeDecision, StaleTable)
{
    const qint64 hour = 3600;
    const qint64 now = 1700000000;
    struct Case {
        const char *name;
        qint64 period, lastSuccess, since;
        bool stale;
    };
    const Case cases[] = {
        {"success one period ago", hour, now - hour, 0, false},
        {"success just under two periods ago", hour, now - 2 * hour + 1, 0, false},
        {"success exactly two periods ago", hour, now - 2 * hour, 0, true},
        {"success long ago", hour, now - 30 * hour, 0, true},
        {"never succeeded, known for two periods", hour, 0, now - 2 * hour, true},
        {"never succeeded, known for one period", hour, 0, now - hour, false},
        {"never succeeded, not known yet", hour, 0, 0, false},
        {"a success counts over the first look", hour, now - hour, now - 5 * hour, false},
        {"unscheduled is never stale", 0, now - 100 * hour, now - 100 * hour, false},
        {"a clock stepped back", hour, now + hour, 0, false},
        {"a daily schedule after a missed day", 24 * hour, now - 49 * hour, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NoticeDecision::isStale(c.period, c.lastSuccess, c.since, now), c.stale);
    }
}

TEST(Notice, CarriesTheRunWithoutPasswordOrControlCharacters)
{
    Mission mission;
    mission.msnno = 7;
    mission.caption = QStringLiteral("nightly\x1b]0;owned\x07 db");
    mission.action = Mission::Send;
    mission.pool = "tank";
    mission.name = "db";
    mission.path = "backup";
    mission.host = "10.0.0.2";
    mission.port = 2222;
    mission.passwd = "s3cret-pass";
    RunRecord run;
    run.runno = 42;
    run.outcome = "failed";
    run.error = QStringLiteral("cannot receive: \x1b[2Jbroken pipe");
    run.bytes = 123456789012LL;
    run.started = 1000;
    run.ended = 1075;
    const Notice notice = Notice::of("failure", mission, run);
    const QJsonObject json = notice.toJson();
    EXPECT_EQ(json.value("notice").toString(), "failure");
    EXPECT_EQ(json.value("msnno").toInt(), 7);
    EXPECT_EQ(json.value("kind").toString(), "send");
    EXPECT_EQ(json.value("source").toString(), "tank/db");
    EXPECT_EQ(json.value("target").toString(), "10.0.0.2:2222/backup/db");
    EXPECT_EQ(json.value("outcome").toString(), "failed");
    EXPECT_EQ(json.value("bytes").toDouble(), 123456789012.0);
    EXPECT_EQ(json.value("duration").toInt(), 75);
    EXPECT_EQ(json.value("runno").toInt(), 42);
    EXPECT_EQ(json.value("caption").toString(), QStringLiteral("nightly\uFFFD db"));
    EXPECT_EQ(json.value("error").toString(), QStringLiteral("cannot receive: \uFFFDbroken pipe"));
    const QByteArray body = notice.toBody();
    EXPECT_FALSE(body.contains("s3cret")) << body.constData();
    EXPECT_FALSE(body.contains('\n'));
    EXPECT_EQ(QJsonDocument::fromJson(body).object(), json);
    const QMap<QString, QString> environment = notice.environment();
    EXPECT_EQ(environment.value("ZFSREP_NOTICE"), "failure");
    EXPECT_EQ(environment.value("ZFSREP_MISSION"), "7");
    EXPECT_EQ(environment.value("ZFSREP_RUN"), "42");
    EXPECT_EQ(environment.value("ZFSREP_BYTES"), "123456789012");
    for (const QString &value : environment)
        EXPECT_FALSE(value.contains("s3cret"));

    mission.action = Mission::Export;
    mission.path = "/exports";
    EXPECT_EQ(Notice::of("success", mission, run).target, "/exports");
    mission.action = Mission::Pull;
    mission.path = "backup/db@snap";
    EXPECT_EQ(Notice::of("success", mission, run).source, "10.0.0.2:2222/backup/db@snap");
    EXPECT_EQ(Notice::of("success", mission, run).target, "tank/db");
    // A mirror pulls the remote dataset into the local replica.
    mission.action = Mission::Mirror;
    mission.path = "prod/db";
    const Notice mirrored = Notice::of("success", mission, run);
    EXPECT_EQ(mirrored.kind, "mirror");
    EXPECT_EQ(mirrored.source, "10.0.0.2:2222/prod/db");
    EXPECT_EQ(mirrored.target, "tank/db");
}

} // namespace
