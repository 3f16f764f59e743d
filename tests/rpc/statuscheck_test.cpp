// zfsrepctl status's judgement: the level, the problems and the lines from a
// listing and a metrics text at a given time; and the metrics reader.
#include "metricssamples.h"
#include "statuscheck.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

namespace {

constexpr qint64 kNow = 1765000000;

QJsonObject listed(int msnno, const QString &caption, const QString &state, const QString &lastresult = QString(),
                   const QString &lasterror = QString())
{
    return QJsonObject{{"msnno", msnno}, {"caption", caption}, {"state", state}, {"lastresult", lastresult},
                       {"lasterror", lasterror}};
}

// The service's metrics for one mission.
QString missionMetrics(int msnno, const QString &caption, qint64 lastSuccess, qint64 period)
{
    const QString labels = QStringLiteral("{msnno=\"%1\",caption=\"%2\"}").arg(msnno).arg(caption);
    return QStringLiteral("# TYPE zfsrep_mission_last_success_timestamp_seconds gauge\n"
                          "zfsrep_mission_last_success_timestamp_seconds%1 %2\n"
                          "zfsrep_mission_schedule_period_seconds%1 %3\n")
        .arg(labels)
        .arg(lastSuccess)
        .arg(period);
}

QString passMetrics(qint64 lastPass)
{
    return QStringLiteral("# HELP zfsrep_scheduler_last_pass_timestamp_seconds Time of the last pass.\n"
                          "zfsrep_scheduler_last_pass_timestamp_seconds %1\n")
        .arg(lastPass);
}

TEST(StatusCheck, LevelFollowsFailuresStalenessAndTheScheduler)
{
    const struct {
        const char *name;
        QJsonArray records;
        QString metrics;
        StatusCheck::Level level;
        int problems;
    } cases[] = {
        {"healthy", {listed(1, "a", "armed", "succeeded")}, passMetrics(kNow - 30) + missionMetrics(1, "a", kNow - 600, 3600),
         StatusCheck::Ok, 0},
        {"no missions, no pass yet", {}, passMetrics(0), StatusCheck::Ok, 0},
        {"failed last run", {listed(1, "a", "failed", "failed", "boom")}, passMetrics(kNow - 30), StatusCheck::Critical, 1},
        {"stalled last run", {listed(1, "a", "failed", "stalled")}, passMetrics(kNow - 30), StatusCheck::Critical, 1},
        {"invalid stored mission", {listed(1, "a", "failed")}, passMetrics(kNow - 30), StatusCheck::Critical, 1},
        {"cancelled is not a failure", {listed(1, "a", "failed", "cancelled")}, passMetrics(kNow - 30), StatusCheck::Ok, 0},
        {"interrupted is not a failure", {listed(1, "a", "failed", "interrupted")}, passMetrics(kNow - 30), StatusCheck::Ok, 0},
        {"running again after a failure", {listed(1, "a", "running", "failed")}, passMetrics(kNow - 30), StatusCheck::Ok, 0},
        {"stale", {listed(1, "a", "armed", "succeeded")}, passMetrics(kNow - 30) + missionMetrics(1, "a", kNow - 7201, 3600),
         StatusCheck::Warning, 1},
        {"exactly two periods is not stale", {listed(1, "a", "armed", "succeeded")},
         passMetrics(kNow - 30) + missionMetrics(1, "a", kNow - 7200, 3600), StatusCheck::Ok, 0},
        {"never succeeded is not stale", {listed(1, "a", "armed")}, passMetrics(kNow - 30) + missionMetrics(1, "a", 0, 3600),
         StatusCheck::Ok, 0},
        {"unscheduled is never stale", {listed(1, "a", "done", "succeeded")},
         passMetrics(kNow - 30) + missionMetrics(1, "a", kNow - 9999999, 0), StatusCheck::Ok, 0},
        {"stale and failing: critical",
         {listed(1, "a", "armed", "succeeded"), listed(2, "b", "failed", "failed")},
         passMetrics(kNow - 30) + missionMetrics(1, "a", kNow - 90000, 3600), StatusCheck::Critical, 2},
        {"scheduler silent for more than 5 minutes", {listed(1, "a", "armed", "succeeded")}, passMetrics(kNow - 301),
         StatusCheck::Critical, 0},
        {"scheduler passed 5 minutes ago", {listed(1, "a", "armed", "succeeded")}, passMetrics(kNow - 300),
         StatusCheck::Ok, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const StatusCheck::Report report = StatusCheck::evaluate(c.records, c.metrics, kNow);
        EXPECT_EQ(report.level, c.level);
        EXPECT_EQ(report.problems.size(), c.problems);
        EXPECT_EQ(report.missions, c.records.size());
    }
}

TEST(StatusCheck, LinesNameMissionCaptionAndWhatIsWrong)
{
    const QJsonArray records{listed(3, "Nightly", "failed", "failed", "cannot open 'nopool/data':\ndataset does not exist\n"),
                             listed(4, "Hourly", "armed", "succeeded"), listed(5, "Fine", "armed", "succeeded")};
    const QString metrics = passMetrics(kNow - 25) + missionMetrics(4, "Hourly", kNow - 8400, 3600)
                            + missionMetrics(5, "Fine", kNow - 60, 3600);
    const StatusCheck::Report report = StatusCheck::evaluate(records, metrics, kNow);
    EXPECT_EQ(StatusCheck::reportText(report),
              "ZFSREP CRITICAL: 1 failing, 1 stale of 3 missions; scheduler passed 25s ago | missions=3 failing=1 stale=1\n"
              "CRITICAL: mission 3 (Nightly): last run failed: cannot open 'nopool/data': dataset does not exist\n"
              "WARNING: mission 4 (Hourly): no success for 2h 20m (schedule period 1h)\n");

    const QJsonObject json = StatusCheck::reportJson(report);
    EXPECT_EQ(json.value("exitcode").toInt(), 2);
    EXPECT_EQ(json.value("status").toString(), "CRITICAL");
    EXPECT_EQ(json.value("lastpass").toDouble(), kNow - 25);
    const QJsonArray problems = json.value("problems").toArray();
    ASSERT_EQ(problems.size(), 2);
    EXPECT_EQ(problems.at(0).toObject().value("msnno").toInt(), 3);
    EXPECT_TRUE(problems.at(0).toObject().value("failing").toBool());
    EXPECT_EQ(problems.at(1).toObject().value("caption").toString(), "Hourly");
    EXPECT_TRUE(problems.at(1).toObject().value("stale").toBool());
    EXPECT_EQ(problems.at(1).toObject().value("period").toDouble(), 3600);
}

TEST(StatusCheck, SummaryOfAHealthyAndOfASilentService)
{
    const QJsonArray records{listed(1, "a", "armed", "succeeded")};
    EXPECT_EQ(StatusCheck::reportText(StatusCheck::evaluate(records, passMetrics(0), kNow)),
              "ZFSREP OK: 1 mission, none failing or stale; scheduler has not passed yet | missions=1 failing=0 stale=0\n");
    EXPECT_EQ(StatusCheck::reportText(StatusCheck::evaluate(records, passMetrics(kNow - 3600), kNow)),
              "ZFSREP CRITICAL: 1 mission, none failing or stale; scheduler has not passed for 1h | missions=1 failing=0 "
              "stale=0\n");
}

TEST(StatusCheck, DurationsAreShortAndRounded)
{
    const struct {
        qint64 seconds;
        const char *text;
    } cases[] = {{0, "0s"}, {59, "59s"}, {60, "1m"}, {3599, "59m"}, {3600, "1h"}, {8400, "2h 20m"},
                 {86400, "1d"}, {90000, "1d 1h"}, {86400 * 40 + 60, "40d"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(StatusCheck::durationText(c.seconds), c.text);
    }
}

TEST(MetricSamples, ReadsNamesEscapedLabelsAndValuesSkippingTheRest)
{
    const QString text = "# HELP x y\n"
                         "# TYPE x gauge\n"
                         "zfsrep_scheduler_last_pass_timestamp_seconds 1765000000\n"
                         "zfsrep_mission_runs{msnno=\"3\",caption=\"a \\\"b\\\" \\\\ c\\nd\",outcome=\"failed\"} 2\n"
                         "zfsrep_mission_moved_bytes{msnno=\"3\",caption=\"x\"} 9000000000\n"
                         "broken{msnno=\"3\" 1\n"
                         "novalue{msnno=\"4\"}\n"
                         "{msnno=\"5\"} 7\n"
                         "\n";
    const QList<MetricSample> samples = parseMetricSamples(text);
    ASSERT_EQ(samples.size(), 3);
    EXPECT_EQ(samples.at(0).name, "zfsrep_scheduler_last_pass_timestamp_seconds");
    EXPECT_EQ(samples.at(0).value, 1765000000);
    EXPECT_EQ(samples.at(1).labels.value("caption"), "a \"b\" \\ c\nd");
    EXPECT_EQ(samples.at(1).labels.value("outcome"), "failed");
    EXPECT_EQ(samples.at(2).value, 9000000000.0);
    EXPECT_EQ(metricValue(samples, "zfsrep_mission_runs", "msnno", "3"), 2);
    EXPECT_EQ(metricValue(samples, "zfsrep_mission_runs", "msnno", "4", -1), -1);
    EXPECT_EQ(metricValue(samples, "zfsrep_scheduler_last_pass_timestamp_seconds", QString(), QString()), 1765000000);
}

} // namespace
