// Local pools, datasets and snapshots: the `zfs` and `zpool` runs behind
// the RPC methods and the local steps of runs. Each call is one or two child
// processes through the runner; a run's queries carry its cancel token, so a
// cancelled run ends a listing or a destroy in progress.
// Any thread; keeps no state besides the runner and the token.
#pragma once

#include "processrunner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class CancelToken;
class TQ2Journals;

class LocalQueries
{
public:
    // `cancel` (optional, not owned) is put into every request.
    explicit LocalQueries(ProcessRunner &runner, const CancelToken *cancel = nullptr);

    // Every pool with its datasets (zfsrep_alload's answer).
    bool alload(TQ2Journals &journals, QJsonObject &pools) const;
    // The snapshot names of `dataset` (all snapshots when empty), oldest
    // first; false without a journal entry when zfs failed.
    bool snapshotAllist(TQ2Journals &journals, QStringList &names, const QString &dataset) const;
    // Destroys `dataset` with its descendants after releasing the holds on
    // its snapshots.
    bool remove(TQ2Journals &journals, const QString &dataset) const;
    // Every snapshot with its sizes (zfsrep_snapshot's answer).
    bool snapshotAlload(TQ2Journals &journals, QJsonArray &snapshots) const;
    bool snapshotCreate(TQ2Journals &journals, const QString &snapshot, const QString &dataset) const;
    bool snapshotRemove(TQ2Journals &journals, const QString &snapshot) const;
    // The estimated size of the replication stream of `snapshot` (from
    // `base` when given); 0 and journaled when zfs failed.
    // `raw`: the stream of an encrypted dataset as it is stored (-w).
    qint64 snapshotSize(TQ2Journals &journals, const QString &snapshot, const QString &base, bool raw = false) const;

private:
    ProcessOutcome run(ProcessRequest request) const;

    ProcessRunner &runner;
    const CancelToken *cancel;
};
