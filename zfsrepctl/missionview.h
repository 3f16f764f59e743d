// Text views of the service's answers for people: the mission listing drawn
// by `zfsrepctl watch` and the run history of `zfsrepctl history`. Pure
// functions of the JSON the service returned; fields a service does not send
// (older versions know no "state", "nextrun", "lasterror", "bytes", ...)
// are left out of the view rather than shown as zero.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <Qt>

// Seconds since the epoch as "yyyy-MM-dd HH:mm:ss" in `spec` (local time
// for people, UTC in tests).
QString formatTime(qint64 seconds, Qt::TimeSpec spec = Qt::LocalTime);

// A byte count in binary units: "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
QString formatBytes(qint64 bytes);

// A duration: "45s", "2m05s", "1h02m", "3d04h"; "?" when negative.
QString formatDuration(qint64 seconds);

// The first non-blank line of a (multi-line) message, trimmed.
QString firstLine(const QString &text);

// The mission's state: the service's "state" when it sends one ("cancelled"
// in place of its "failed" when the last run was cancelled), otherwise
// derived as older versions of this view did (running, done, armed, waiting).
QString missionState(const QJsonObject &mission);

// The view of one listing (the "records" of zfsrep_mission_alload): per
// mission a line "#N caption  action  route  state  last run ...  next ...
// schedule TEXT" (the compact schedule text, when the service sends the
// schedules),
// under a running mission a progress line (bar, percent, bytes done of
// total, speed, ETA), and under a mission whose last run went wrong the
// first line of its error. No line is wider than `width` columns: the route
// is shortened in the middle first, then the end of the line is cut.
QString renderMissions(const QJsonArray &records, int width, Qt::TimeSpec spec = Qt::LocalTime);

// A progress bar of `width` characters for 0..100 percent: "[=====>    ]".
QString progressBar(int percent, int width);

// The view of zfsrep_mission_history's results (newest first): a table of
// run number, start, duration, kind, outcome, bytes, average rate,
// snapshots and, when a run wrote one, the file; each run's error text under
// its row, every line of it.
QString renderHistory(const QJsonArray &runs, Qt::TimeSpec spec = Qt::LocalTime);
