// The Prometheus text exposition (format 0.0.4) of the service's state, for
// node_exporter's textfile collector and the zfsrep_metrics method. Pure:
// values in, text out.
//
//   # HELP zfsrep_mission_running Whether the mission's transfer runs now.
//   # TYPE zfsrep_mission_running gauge
//   zfsrep_mission_running{msnno="3",caption="Nightly"} 1
#pragma once

#include <QList>
#include <QMap>
#include <QString>

namespace MetricsText {

// What is known about one mission.
struct Mission {
    int msnno = 0;
    QString caption;
    qint64 lastSuccess = 0;      // end of the newest successful run, 0: none
    QString lastOutcome;         // outcome of the newest run, "" when never run
    QMap<QString, qint64> runs;  // runs kept in the history by outcome
    qint64 bytes = 0;            // bytes moved by the runs kept in the history
    bool running = false;
    qint64 runStarted = 0;       // start of the run going now, 0: none
    qint64 period = 0;           // seconds between its next two scheduled runs, 0: unscheduled
};

struct State {
    qint64 lastPass = 0; // the scheduler's last pass, seconds since the epoch; 0: none yet
    QList<Mission> missions;
};

// The outcomes every per-outcome family lists, in this order.
const QStringList &outcomes();

// A label value with backslash, double quote and line feed escaped.
QString escapeLabel(const QString &value);

// The whole exposition: HELP and TYPE lines, then one sample per mission (and
// per outcome where the family has an outcome label); ends with a line feed.
QString render(const State &state);

} // namespace MetricsText
