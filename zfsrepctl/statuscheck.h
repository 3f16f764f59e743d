// zfsrepctl status: whether the service's missions and scheduler are
// healthy, for a monitoring system. Follows the monitoring-plugin convention
// (Nagios, Icinga, Naemon) for its exit status, unlike the other
// subcommands:
//
//   0 OK        no mission failing or stale, the scheduler passing
//   1 WARNING   a scheduled mission is stale: no success for twice its period
//   2 CRITICAL  a mission's last run failed (or stalled), or the scheduler has
//               not passed for 5 minutes
//   3 UNKNOWN   the service cannot be reached or does not answer
//
// The first line printed is the summary, then one line per mission that is
// failing or stale (`--json`: one object). The judgement is a pure function
// of the listing (zfsrep_mission_alload), the metrics text (zfsrep_metrics)
// and the time.
#pragma once

#include "ctloptions.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace StatusCheck {

enum Level { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// A scheduler whose heartbeat is older than this has stopped passing.
constexpr qint64 kSchedulerSilentSeconds = 300;

struct MissionProblem {
    int msnno = 0;
    QString caption;
    Level level = Ok;
    bool failing = false;  // its last run failed or stalled (or it cannot run)
    bool stale = false;    // scheduled, and no success for twice its period
    QString error;         // why the last run failed, on one line
    qint64 lastSuccess = 0;
    qint64 period = 0;
};

struct Report {
    Level level = Ok;
    int missions = 0;
    qint64 lastPass = 0;   // the scheduler's heartbeat, 0: no pass yet
    qint64 now = 0;
    bool schedulerSilent = false;
    QList<MissionProblem> problems; // in the listing's order
};

// Judges the listing's records and the metrics text at `now` (seconds since
// the epoch). A stale mission is one with a schedule period and a kept
// success older than twice the period (a mission that never succeeded is
// judged by its failures). A heartbeat of 0 (no pass since the service
// started; the first comes within a minute) is not a silent scheduler.
Report evaluate(const QJsonArray &records, const QString &metricsText, qint64 now);

// "3d 4h", "2h 20m", "45m", "30s".
QString durationText(qint64 seconds);

// The summary line, then one line per problem; ends with a newline.
QString reportText(const Report &report);
QJsonObject reportJson(const Report &report);
QString levelName(Level level);

// The subcommand: `status [--json]`; returns the level as exit status
// (64 on a bad command line).
int runStatus(const CtlOptions &options);

} // namespace StatusCheck
