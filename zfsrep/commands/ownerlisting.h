// Reads the owner listing of a tree (RetentionCommands::ownerTreeListArgs):
// each snapshot with its guid, creation txg and owner mark, by the dataset's
// name below the top. Pure.
#pragma once

#include "snapshotlisting.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

struct OwnedSnapshot {
    SnapshotInfo info;
    QString owner; // the mark as listed: "-" when the snapshot has none
};

// The datasets of a tree by their name below the top ("" the top), each
// with its snapshots in listing order (oldest first).
using OwnerTree = QMap<QString, QList<OwnedSnapshot>>;

namespace OwnerListing {

// One line of the listing below `top`; false for a line that is not one
// (another tree, a missing column, numbers that are not numbers).
bool line(const QByteArray &text, const QString &top, QString &relative, OwnedSnapshot &snapshot);

} // namespace OwnerListing
