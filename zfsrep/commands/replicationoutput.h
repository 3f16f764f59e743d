// Pure parsers and error classifiers for the `zfs` runs of replication.
// Text in, values out: no process, no state.
#pragma once

#include "snapshotlisting.h"

#include <QByteArray>
#include <QString>

namespace ReplicationOutput {

// Snapshots of `dataset` itself (not of its descendants), oldest first.
// Lines of other datasets, with too few fields or with a guid that is no
// number are skipped.
//   $ zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -d 1 tank/data
//   tank/data@a	8102390113372717473	121
QList<SnapshotInfo> snapshots(const QByteArray &output, const QString &dataset);

// The snapshots of every dataset of the tree below `top` (and of `top`), by
// the dataset's name relative to `top` ("" for the top), oldest first. Lines
// outside the tree, with too few fields or a guid that is no number are
// skipped.
//   $ zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data
//   tank/data/child@a	8102390113372717473	121
QMap<QString, QList<SnapshotInfo>> treeSnapshots(const QByteArray &output, const QString &top);
// One line of that listing: false for a line that is skipped (see above).
// A listing read as a stream goes through here line by line.
bool treeSnapshotLine(const QByteArray &line, const QString &top, QString &relative, SnapshotInfo &info);
// Whether a failed `zfs send` printed nothing but warnings that datasets of
// a tree stream lack its snapshot, each for a dataset in `expected` (full
// names); with an empty `errorText` false.
//   WARNING: could not send tank/data/kid@two: does not exist
bool onlyMissingSnapshotWarnings(const QString &errorText, const QStringList &expected);
// Every dataset of the tree (exists set, no snapshots) with its
// receive_resume_token ("" for "-") and its written bytes (-1 when the
// value is missing or no number). Lines of other properties or outside the
// tree are skipped.
//   $ zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data
//   tank/data/child	receive_resume_token	1-e604ea4bf-e0-789c63a2...
//   tank/data/child	written	0
QMap<QString, DatasetListing> treeStates(const QByteArray &output, const QString &top);

// One dataset as datasetListArgs lists it: exists, its token and written
// bytes from its own line, its snapshots (oldest first) from theirs; lines
// of its children and lines that do not parse are skipped. Without its own
// line the listing does not exist.
DatasetListing datasetListing(const QByteArray &output, const QString &dataset);

// The receive_resume_token value; empty for "-", an empty or blank output.
//   $ zfs get -H -p -o value receive_resume_token backup/data
//   1-e604ea4bf-e0-789c63a2...
QString resumeToken(const QByteArray &output);

// Whether any value of a tree's encryption listing is a cipher (not "off",
// "-" or empty), one value per line:
//   $ zfs get -H -o value -r -t filesystem,volume encryption tank/data
//   off
//   aes-256-gcm
bool anyEncrypted(const QByteArray &output);

// "cannot open 'backup/data': dataset does not exist"
bool isMissingDataset(const QString &errorText);
// "cannot create snapshot 'tank/data@x': dataset already exists"
bool isExistingDataset(const QString &errorText);
// A token that no longer matches the sender: its snapshot was destroyed,
// or the token is damaged.
//   "cannot resume send: 'tank/data@x' used in the initial send no longer exists"
//   "cannot resume send: 'tank/data@x' is no longer the same snapshot used in the initial send"
//   "resume token is corrupt"
bool isStaleToken(const QString &errorText);
// "cannot release hold from snapshot 'tank/data@a': no such tag on this dataset"
bool isMissingHold(const QString &errorText);

} // namespace ReplicationOutput
