// Argument builders of the snapshots a mission owns and prunes: the snapshot
// marked with its owner, the listing that shows the mark, and the destroy
// commands of a pruning (many snapshots of one dataset in one `zfs destroy`,
// a tree's datasets in one remote command, split below the argument limit).
// Pure: values in, argument lists or command text out.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace RetentionCommands {

// The user property that names the mission a snapshot belongs to.
inline const QString kOwnerProperty = QStringLiteral("zfsrep:mission");

// zfs snapshot -r -o zfsrep:mission=MARK DATASET@NAME (without -o for an
// empty mark): the dataset and all its descendants at once, marked.
QStringList markedSnapshotArgs(const QString &snapshot, const QString &mark);

// The dataset's own snapshots, oldest first:
// $ zfs list -t snapshot -H -o name tank/data
// tank/data@daily_20250301100000
// With an empty `dataset`, every snapshot of every pool.
QStringList snapshotNamesArgs(const QString &dataset);

// Every snapshot of the tree with its owner mark ("-" when it has none):
// $ zfs list -H -p -o name,guid,createtxg,zfsrep:mission -t snapshot -s createtxg -r tank/data
// tank/data@daily_20250301100000	5406411753391731815	7	0123456789abcdef0123456789abcdef:3
// tank/data@by_hand	1380663100741485302	9	-
QStringList ownerTreeListArgs(const QString &dataset);

// zfs destroy DATASET@A,B,C: those snapshots of that dataset only (names
// hold no ","; zfs refuses such names).
QStringList destroyManyArgs(const QString &dataset, const QStringList &names);

// The destroys of a pruning: for each dataset (full name) its snapshots
// (short names), as destroyManyArgs lists grouped so that each group, as
// one remote command, stays below ArgumentBatches::kBytes.
QList<QList<QStringList>> destroyGroups(const QMap<QString, QStringList> &snapshots);

// Commands run one after the other by one remote shell, each whatever the
// others did; the exit status is 1 when any failed:
//   s=0; /usr/sbin/zfs destroy 'tank/a@x,y' || s=1; ...; exit $s
QString sequenceText(const QString &program, const QList<QStringList> &commands);

} // namespace RetentionCommands
