// One run of a mission as the run history keeps it: who ran, what kind of
// transfer, when, how it ended and why, how much it moved. A plain value; the
// engine fills it while the run goes on and the history stores it.
#pragma once

#include <QJsonObject>
#include <QString>

struct RunRecord {
    qint64 runno = 0; int msnno = 0; QString caption; int action = 0;
    QString kind;        // full, incremental, resume, export, restore, pull ("" until known)
    qint64 started = 0;  // seconds since the epoch
    qint64 ended = 0;    // 0 while running
    QString outcome;     // running, succeeded, failed, cancelled, stalled, interrupted
    QString error;       // the failing tool's own message
    qint64 bytes = 0; qint64 rate = 0; // bytes moved, average bytes/s
    QString base, target; // snapshots
    bool notified = false; // its notice went out (read from the history only)
    qint64 prunedSource = 0, prunedTarget = 0; // snapshots the run pruned per side
    QString file;         // the file an export wrote, "" for other runs and failed exports
    QJsonObject toJson() const;
};
