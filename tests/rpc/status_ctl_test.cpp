// zfsrepctl status against a stand-in service: the four exit statuses of the
// monitoring-plugin convention, the lines it prints and --json.
#include "fakeservice.h"
#include "rpctestkit.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace {

struct StatusRun {
    int exitCode = -1;
    QString out;
    QString err;
};

StatusRun status(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(ZFSREPCTL_PATH), args);
    StatusRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QJsonObject listed(int msnno, const QString &caption, const QString &state, const QString &lastresult,
                   const QString &lasterror = QString())
{
    return QJsonObject{{"msnno", msnno}, {"caption", caption}, {"action", 1}, {"state", state},
                       {"lastresult", lastresult}, {"lasterror", lasterror}};
}

// The service's metrics: the scheduler's heartbeat `passAgo` seconds ago and
// mission 4's last success `successAgo` seconds ago with an hourly period.
QString metrics(qint64 passAgo, qint64 successAgo)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return QStringLiteral("# TYPE zfsrep_scheduler_last_pass_timestamp_seconds gauge\n"
                          "zfsrep_scheduler_last_pass_timestamp_seconds %1\n"
                          "zfsrep_mission_last_success_timestamp_seconds{msnno=\"4\",caption=\"Hourly\"} %2\n"
                          "zfsrep_mission_schedule_period_seconds{msnno=\"4\",caption=\"Hourly\"} 3600\n")
        .arg(now - passAgo)
        .arg(now - successAgo);
}

class StatusCtl : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(runner.start(path)); }

    SocketDir dir;
    QString path = dir.path();
    FakeService service;
    ServerThread runner{&service};
};

TEST_F(StatusCtl, ExitStatusFollowsTheMonitoringPluginConvention)
{
    const QJsonObject hourly = listed(4, "Hourly", "armed", "succeeded");
    const QJsonObject failed = listed(3, "Nightly", "failed", "failed", "cannot open 'nopool/data': dataset does not exist");
    const struct {
        const char *name;
        QJsonArray records;
        QString metrics;
        int exitCode;
        const char *firstLine;
    } cases[] = {
        {"healthy", {hourly}, metrics(20, 600), 0, "ZFSREP OK: 1 mission, none failing or stale"},
        {"stale", {hourly}, metrics(20, 3 * 3600), 1, "ZFSREP WARNING: 0 failing, 1 stale of 1 mission"},
        {"failed", {hourly, failed}, metrics(20, 600), 2, "ZFSREP CRITICAL: 1 failing, 0 stale of 2 missions"},
        {"scheduler silent", {hourly}, metrics(600, 600), 2, "ZFSREP CRITICAL: 1 mission, none failing or stale; "
                                                             "scheduler has not passed for 10m"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        service.setListings({c.records});
        service.setMetricsText(c.metrics);
        const StatusRun run = status({"--socket", path, "status"});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out.toStdString() << run.err.toStdString();
        EXPECT_TRUE(run.out.startsWith(c.firstLine)) << run.out.toStdString();
    }
}

TEST_F(StatusCtl, FailingMissionGetsALineAndJsonCarriesTheProblems)
{
    service.setListings({QJsonArray{listed(3, "Nightly", "failed", "stalled", "stalled: no data for 600 s"),
                                    listed(4, "Hourly", "armed", "succeeded")}});
    service.setMetricsText(metrics(20, 5 * 3600));
    const StatusRun text = status({"--socket", path, "status"});
    EXPECT_EQ(text.exitCode, 2);
    const QStringList lines = text.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << text.out.toStdString();
    EXPECT_EQ(lines.at(1), "CRITICAL: mission 3 (Nightly): last run failed: stalled: no data for 600 s");
    EXPECT_EQ(lines.at(2), "WARNING: mission 4 (Hourly): no success for 5h (schedule period 1h)");

    const StatusRun json = status({"--socket", path, "status", "--json"});
    EXPECT_EQ(json.exitCode, 2);
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(object.value("status").toString(), "CRITICAL");
    EXPECT_EQ(object.value("exitcode").toInt(), 2);
    EXPECT_EQ(object.value("missions").toInt(), 2);
    EXPECT_EQ(object.value("problems").toArray().size(), 2);
    EXPECT_EQ(service.lastRequest().value("cmd").toString(), "zfsrep_metrics");
}

TEST_F(StatusCtl, NoServiceIsUnknownAndABadArgumentIsUsage)
{
    const StatusRun absent = status({"--socket", dir.path("none.sock"), "--timeout", "2", "status"});
    EXPECT_EQ(absent.exitCode, 3);
    EXPECT_TRUE(absent.out.startsWith("ZFSREP UNKNOWN: zfsrep service unreachable")) << absent.out.toStdString();

    const StatusRun json = status({"--socket", dir.path("none.sock"), "--timeout", "2", "status", "--json"});
    EXPECT_EQ(json.exitCode, 3);
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).object().value("status").toString(), "UNKNOWN");

    const StatusRun usage = status({"--socket", path, "status", "3"});
    EXPECT_EQ(usage.exitCode, 64);
    EXPECT_TRUE(usage.err.contains("status")) << usage.err.toStdString();
}

} // namespace
