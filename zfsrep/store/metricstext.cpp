#include "metricstext.h"

#include <QStringList>

#include <functional>

namespace MetricsText {

namespace {

void family(QString &out, const char *name, const char *type, const char *help)
{
    out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
               .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
}

QString missionLabels(const Mission &mission)
{
    return QStringLiteral("msnno=\"%1\",caption=\"%2\"").arg(mission.msnno).arg(escapeLabel(mission.caption));
}

void sample(QString &out, const char *name, const QString &labels, qint64 value)
{
    out += QLatin1String(name);
    if (!labels.isEmpty())
        out += QLatin1Char('{') + labels + QLatin1Char('}');
    out += QLatin1Char(' ') + QString::number(value) + QLatin1Char('\n');
}

// One sample per mission of `name`, valued by `value`.
void perMission(QString &out, const State &state, const char *name,
                const std::function<qint64(const Mission &)> &value)
{
    for (const Mission &mission : state.missions)
        sample(out, name, missionLabels(mission), value(mission));
}

// One sample per mission and outcome of `name`, valued by `value`.
void perOutcome(QString &out, const State &state, const char *name,
                const std::function<qint64(const Mission &, const QString &)> &value)
{
    for (const Mission &mission : state.missions) {
        for (const QString &outcome : outcomes())
            sample(out, name, missionLabels(mission) + QStringLiteral(",outcome=\"%1\"").arg(outcome),
                   value(mission, outcome));
    }
}

} // namespace

const QStringList &outcomes()
{
    static const QStringList list{QStringLiteral("running"),   QStringLiteral("succeeded"),
                                  QStringLiteral("failed"),    QStringLiteral("cancelled"),
                                  QStringLiteral("stalled"),   QStringLiteral("interrupted")};
    return list;
}

QString escapeLabel(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QString render(const State &state)
{
    QString out;
    family(out, "zfsrep_scheduler_last_pass_timestamp_seconds", "gauge",
           "Time of the scheduler's last pass over the due missions (0: none yet).");
    sample(out, "zfsrep_scheduler_last_pass_timestamp_seconds", QString(), state.lastPass);

    family(out, "zfsrep_mission_last_success_timestamp_seconds", "gauge",
           "End of the mission's newest successful run (0: none kept).");
    perMission(out, state, "zfsrep_mission_last_success_timestamp_seconds",
               [](const Mission &m) { return m.lastSuccess; });

    family(out, "zfsrep_mission_last_run_outcome", "gauge",
           "1 for the outcome of the mission's newest run, 0 for the others.");
    perOutcome(out, state, "zfsrep_mission_last_run_outcome",
               [](const Mission &m, const QString &outcome) { return m.lastOutcome == outcome ? 1 : 0; });

    family(out, "zfsrep_mission_runs", "gauge",
           "Runs of the mission kept in the run history, by outcome.");
    perOutcome(out, state, "zfsrep_mission_runs",
               [](const Mission &m, const QString &outcome) { return m.runs.value(outcome, 0); });

    family(out, "zfsrep_mission_moved_bytes", "gauge", "Bytes moved by the runs kept in the run history.");
    perMission(out, state, "zfsrep_mission_moved_bytes", [](const Mission &m) { return m.bytes; });

    family(out, "zfsrep_mission_running", "gauge", "Whether the mission's transfer runs now (1) or not (0).");
    perMission(out, state, "zfsrep_mission_running", [](const Mission &m) { return m.running ? 1 : 0; });

    family(out, "zfsrep_mission_run_started_timestamp_seconds", "gauge",
           "Start of the mission's run that goes now (0: none runs).");
    perMission(out, state, "zfsrep_mission_run_started_timestamp_seconds",
               [](const Mission &m) { return m.running ? m.runStarted : 0; });

    family(out, "zfsrep_mission_schedule_period_seconds", "gauge",
           "Seconds between the mission's next two scheduled runs (0: not scheduled).");
    perMission(out, state, "zfsrep_mission_schedule_period_seconds", [](const Mission &m) { return m.period; });
    return out;
}

} // namespace MetricsText
