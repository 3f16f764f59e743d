// What one side of a replication holds of a dataset: whether it exists, its
// snapshots in creation order (short names, the part after "@", with the
// guid that identifies a snapshot across hosts and the transaction group it
// was created in), and the token of an interrupted resumable receive.
#pragma once

#include <QList>
#include <QString>

struct SnapshotInfo {
    QString name; // after "@"
    quint64 guid = 0;
    quint64 createtxg = 0;
};

struct DatasetListing {
    bool exists = false;
    QString resumeToken; // empty when no receive is pending
    QList<SnapshotInfo> snapshots; // oldest first
};
