#include "statuscheck.h"

#include "metricssamples.h"
#include "serviceclient.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

namespace StatusCheck {

namespace {

// Outcomes that an operator or a stop of the service chose; not failures.
bool endedOnPurpose(const QString &outcome)
{
    return outcome == QLatin1String("cancelled") || outcome == QLatin1String("interrupted");
}

// The text on one line: line breaks, tabs and other control characters
// become blanks, so a monitoring system shows the whole of it.
QString oneLine(const QString &text)
{
    QString line = text.trimmed();
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return line;
}

QString missionLine(const MissionProblem &problem, qint64 now)
{
    QStringList what;
    if (problem.failing)
        what << (problem.error.isEmpty() ? QStringLiteral("last run failed")
                                         : QStringLiteral("last run failed: %1").arg(problem.error));
    if (problem.stale)
        what << QStringLiteral("no success for %1 (schedule period %2)")
                    .arg(durationText(now - problem.lastSuccess), durationText(problem.period));
    return QStringLiteral("%1: mission %2 (%3): %4")
        .arg(levelName(problem.level))
        .arg(problem.msnno)
        .arg(oneLine(problem.caption), what.join(QStringLiteral("; ")));
}

QString summaryLine(const Report &report)
{
    int failing = 0;
    int stale = 0;
    for (const MissionProblem &problem : report.problems) {
        failing += problem.failing ? 1 : 0;
        stale += problem.stale ? 1 : 0;
    }
    const QString noun = report.missions == 1 ? QStringLiteral("mission") : QStringLiteral("missions");
    const QString missions = failing + stale == 0
                                 ? QStringLiteral("%1 %2, none failing or stale").arg(report.missions).arg(noun)
                                 : QStringLiteral("%1 failing, %2 stale of %3 %4").arg(failing).arg(stale).arg(report.missions).arg(noun);
    const qint64 age = report.now - report.lastPass;
    const QString scheduler =
        report.lastPass == 0 ? QStringLiteral("scheduler has not passed yet")
        : report.schedulerSilent ? QStringLiteral("scheduler has not passed for %1").arg(durationText(age))
                                 : QStringLiteral("scheduler passed %1 ago").arg(durationText(qMax<qint64>(0, age)));
    return QStringLiteral("ZFSREP %1: %2; %3 | missions=%4 failing=%5 stale=%6")
        .arg(levelName(report.level), missions, scheduler)
        .arg(report.missions)
        .arg(failing)
        .arg(stale);
}

} // namespace

QString levelName(Level level)
{
    switch (level) {
    case Ok: return QStringLiteral("OK");
    case Warning: return QStringLiteral("WARNING");
    case Critical: return QStringLiteral("CRITICAL");
    case Unknown: break;
    }
    return QStringLiteral("UNKNOWN");
}

QString durationText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1m").arg(seconds / 60);
    if (seconds < 86400)
        return seconds % 3600 / 60 ? QStringLiteral("%1h %2m").arg(seconds / 3600).arg(seconds % 3600 / 60)
                                   : QStringLiteral("%1h").arg(seconds / 3600);
    return seconds % 86400 / 3600 ? QStringLiteral("%1d %2h").arg(seconds / 86400).arg(seconds % 86400 / 3600)
                                  : QStringLiteral("%1d").arg(seconds / 86400);
}

Report evaluate(const QJsonArray &records, const QString &metricsText, qint64 now)
{
    const QList<MetricSample> samples = parseMetricSamples(metricsText);
    Report report;
    report.now = now;
    report.missions = records.size();
    report.lastPass = qint64(metricValue(samples, QStringLiteral("zfsrep_scheduler_last_pass_timestamp_seconds"),
                                         QString(), QString()));
    report.schedulerSilent = report.lastPass > 0 && now - report.lastPass > kSchedulerSilentSeconds;
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        MissionProblem problem;
        problem.msnno = record.value(QStringLiteral("msnno")).toInt();
        problem.caption = record.value(QStringLiteral("caption")).toString();
        const QString number = QString::number(problem.msnno);
        problem.lastSuccess = qint64(metricValue(samples, QStringLiteral("zfsrep_mission_last_success_timestamp_seconds"),
                                                 QStringLiteral("msnno"), number));
        problem.period = qint64(metricValue(samples, QStringLiteral("zfsrep_mission_schedule_period_seconds"),
                                            QStringLiteral("msnno"), number));
        problem.failing = record.value(QStringLiteral("state")).toString() == QLatin1String("failed")
                          && !endedOnPurpose(record.value(QStringLiteral("lastresult")).toString());
        problem.stale = problem.period > 0 && problem.lastSuccess > 0 && now - problem.lastSuccess > 2 * problem.period;
        if (!problem.failing && !problem.stale)
            continue;
        problem.error = problem.failing ? oneLine(record.value(QStringLiteral("lasterror")).toString()) : QString();
        problem.level = problem.failing ? Critical : Warning;
        report.level = qMax(report.level, problem.level);
        report.problems.append(problem);
    }
    if (report.schedulerSilent)
        report.level = Critical;
    return report;
}

QString reportText(const Report &report)
{
    QString text = summaryLine(report) + QLatin1Char('\n');
    for (const MissionProblem &problem : report.problems)
        text += missionLine(problem, report.now) + QLatin1Char('\n');
    return text;
}

QJsonObject reportJson(const Report &report)
{
    QJsonArray problems;
    for (const MissionProblem &problem : report.problems) {
        problems.append(QJsonObject{{"msnno", problem.msnno},
                                    {"caption", problem.caption},
                                    {"status", levelName(problem.level)},
                                    {"failing", problem.failing},
                                    {"stale", problem.stale},
                                    {"error", problem.error},
                                    {"lastsuccess", double(problem.lastSuccess)},
                                    {"period", double(problem.period)}});
    }
    return QJsonObject{{"exitcode", int(report.level)},
                       {"status", levelName(report.level)},
                       {"summary", summaryLine(report)},
                       {"missions", report.missions},
                       {"lastpass", double(report.lastPass)},
                       {"schedulersilent", report.schedulerSilent},
                       {"problems", problems}};
}

namespace {

int unknown(bool json, const QString &reason)
{
    const QString summary = QStringLiteral("ZFSREP UNKNOWN: %1").arg(oneLine(reason));
    if (json) {
        const QJsonObject object{{"exitcode", int(Unknown)}, {"status", levelName(Unknown)}, {"summary", summary}};
        std::fputs(QJsonDocument(object).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        std::fputs((summary + QLatin1Char('\n')).toUtf8().constData(), stdout);
    }
    return Unknown;
}

// One request; false with `reason` set when it got no answer or a refusal.
bool ask(const CtlOptions &options, const QString &method, QJsonObject &results, QString &reason)
{
    QJsonObject answer;
    QString error;
    if (!serviceRequest(options.socket, QJsonObject{{"cmd", method}}, &answer, options.timeout, &error)) {
        reason = QStringLiteral("zfsrep service unreachable: %1").arg(error);
        return false;
    }
    const QJsonValue err = answer.value(QStringLiteral("err"));
    if (!err.isDouble() || err.toDouble() != 0) {
        reason = QStringLiteral("%1 failed: %2 (err %3)")
                     .arg(method, answer.value(QStringLiteral("errmsg")).toString())
                     .arg(err.toVariant().toString());
        return false;
    }
    results = answer.value(QStringLiteral("results")).toObject();
    return true;
}

} // namespace

int runStatus(const CtlOptions &options)
{
    bool json = false;
    for (const QString &arg : options.args) {
        if (arg != QLatin1String("--json")) {
            std::fprintf(stderr, "zfsrepctl: status: unexpected argument %s\n", arg.toLocal8Bit().constData());
            return ExitUsage;
        }
        json = true;
    }
    QJsonObject listing;
    QJsonObject metrics;
    QString reason;
    if (!ask(options, QStringLiteral("zfsrep_mission_alload"), listing, reason)
        || !ask(options, QStringLiteral("zfsrep_metrics"), metrics, reason))
        return unknown(json, reason);
    const Report report = evaluate(listing.value(QStringLiteral("records")).toArray(),
                                   metrics.value(QStringLiteral("text")).toString(),
                                   QDateTime::currentSecsSinceEpoch());
    const QByteArray out = json ? QJsonDocument(reportJson(report)).toJson(QJsonDocument::Indented)
                                : reportText(report).toUtf8();
    std::fputs(out.constData(), stdout);
    return report.level;
}

} // namespace StatusCheck
