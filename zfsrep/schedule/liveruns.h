// What the scheduler is doing at one moment, read at once under its lock: the
// progress of every running mission and why each queued mission waits. The
// listing and the metrics read one snapshot so that every row agrees.
#pragma once

#include "runrecord.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

struct LiveRuns {
    QHash<int, QJsonObject> progress; // msnno -> the run's progress object
    QHash<int, RunRecord> records;    // msnno -> the running run's record
    QHash<int, QString> waiting;      // msnno -> why it has not started yet
};
