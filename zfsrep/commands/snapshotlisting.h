// What one side of a replication holds of a dataset tree (TreeListing: every
// dataset of the tree by its name relative to the top) and of each dataset: whether it exists, its
// snapshots in creation order (short names, the part after "@", with the
// guid that identifies a snapshot across hosts and the transaction group it
// was created in), the token of an interrupted resumable receive and whether
// it changed since its newest snapshot, and where asked its bookmarks.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

struct SnapshotInfo {
    QString name; // after "@"
    quint64 guid = 0;
    quint64 createtxg = 0;
};

struct DatasetListing {
    bool exists = false;
    QString resumeToken; // empty when no receive is pending
    // Bytes written to the dataset since its newest snapshot ("written");
    // -1 when not known.
    qint64 written = -1;
    QList<SnapshotInfo> snapshots; // oldest first
    // Bookmarks (names after "#") with the guid and txg of the snapshot
    // each was made of; listed only where a base may have to come from one.
    QList<SnapshotInfo> bookmarks;
};

struct TreeListing {
    // The datasets of the tree by their name below the top: "" for the top,
    // "child", "child/grandchild". Sorted, so parents come before children.
    QMap<QString, DatasetListing> datasets;

    bool exists() const { return datasets.value(QString()).exists; }
    DatasetListing top() const { return datasets.value(QString()); }
};
