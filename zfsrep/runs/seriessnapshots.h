// The snapshots a mission makes and keeps: a new snapshot of its series
// (DATASET@SERIES_yyyyMMddHHmmss, recursive, marked with the mission as its
// owner: OwnSnapshots), the hold that keeps the next
// incremental base, and the erase of older snapshots of the series, on this
// machine (a send, an export) or on the remote side of a mirror, whose
// commands go over the run's ssh login. Every command carries the run's
// cancel token.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include "replicationside.h"

#include <QDateTime>
#include <QString>

class Run;
struct RunServices;

class SeriesSnapshots
{
public:
    // The mission's snapshots on this machine.
    SeriesSnapshots(Run &run, const RunServices &services);
    // The same on `side` (copied; its cancel token should be the run's).
    SeriesSnapshots(Run &run, const RunServices &services, const ReplicationSide &side);

    // Creates DATASET@SERIES_yyyyMMddHHmmss recursively; a name that exists
    // already gets "_2", "_3", ... (the series prefix still matches).
    bool create(const QString &dataset, const QString &series, QString &snapshot);
    // The same, trying `first` (a firstName()) first.
    bool createNamed(const QString &first, QString &snapshot);
    // DATASET@SERIES_yyyyMMddHHmmss of `now`: the name a snapshot taken
    // then tries first.
    static QString firstName(const QString &dataset, const QString &series, const QDateTime &now);
    // Holds `snapshot` with the mission's tag and releases that tag from
    // every other snapshot of the dataset.
    void moveBaseHold(const QString &dataset, const QString &snapshot);
    // Whether `snapshot` (full name) is one the series made:
    // DATASET@SERIES_yyyyMMddHHmmss with an optional "_<n>", nothing else
    // (not a user's SERIES_before_upgrade, not another series SERIES_x_...).
    static bool isSeriesSnapshot(const QString &snapshot, const QString &dataset, const QString &series);
    // Removes the series' snapshots older than `newest` (their whole tree:
    // the dataset's descendants have them from the recursive snapshot). Only
    // the mission's own hold tag is released; a snapshot another tool holds is kept and
    // the journal says so.
    void eraseOlder(const QString &dataset, const QString &series, const QString &newest);
    // Destroys a snapshot the run made that nothing needs (a failure is
    // left for the next run's erase).
    void drop(const QString &snapshot);

private:
    // The dataset's own snapshots, oldest first; a failure is an empty list.
    QStringList snapshotsOf(const QString &dataset) const;

    Run &run;
    const RunServices &services;
    ReplicationSide side;
};
