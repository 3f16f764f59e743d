// Pure parser of a tree's bookmark listing (with or without its snapshots):
// text in, the tree's datasets with their bookmarks (and snapshots) out.
#pragma once

#include "snapshotlisting.h"

#include <QByteArray>
#include <QMap>
#include <QString>

namespace BookmarkOutput {

// Every dataset of the tree below `top` (and `top`) that has a bookmark or a
// snapshot in the listing, by its name relative to `top` ("" the top):
// bookmarks (names after "#") and snapshots (after "@") in listing order.
// `exists` stays false (the listing does not say so). Lines outside the
// tree, with too few fields, an empty name or a guid or txg that is no
// number are skipped.
//   $ zfs list -H -p -o name,guid,createtxg -t bookmark,snapshot -s createtxg -r tank/data
//   tank/data@SERIES_20261209111500	8102390113372717473	121
//   tank/data/child#zfsrep_7_20261209111500	5406411753391731815	121
QMap<QString, DatasetListing> tree(const QByteArray &output, const QString &top);

} // namespace BookmarkOutput
