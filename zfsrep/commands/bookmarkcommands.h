// Argument builders and names for the bookmarks a mission keeps of its
// incremental base: one per mission and dataset of the tree, named after
// the mission and the base snapshot's stamp, so the base survives as a
// bookmark when its snapshot is destroyed. Pure: values in, argument lists
// (without the program name) or names out.
#pragma once

#include <QString>
#include <QStringList>

namespace BookmarkCommands {

// "zfsrep_<msnno>_": what every bookmark of the mission starts with (the
// trailing "_" keeps mission 1 apart from mission 12).
QString prefix(int msnno);
// The mission's bookmark of the snapshot `snapshot` (short name, after "@"):
// "zfsrep_<msnno>_<stamp>", the stamp being the snapshot name's trailing
// "yyyyMMddHHmmss" with its "_<n>" when it has one
// (SERIES_20261209111500_2 -> zfsrep_7_20261209111500_2), else the whole
// snapshot name. A snapshot name is a valid bookmark name, so is this.
QString nameFor(int msnno, const QString &snapshot);
// Whether `bookmark` (short name, after "#") is one of the mission's.
bool isMissions(int msnno, const QString &bookmark);

// $ zfs bookmark tank/data@SERIES_20261209111500 tank/data#zfsrep_7_20261209111500
QStringList createArgs(const QString &snapshot, const QString &bookmark);
// $ zfs destroy tank/data#zfsrep_7_20261209111500   (one bookmark a call)
QStringList destroyArgs(const QString &bookmark);
// Every bookmark of the tree below DATASET, and with `withSnapshots` every
// snapshot too ("-t bookmark,snapshot"), in creation order:
// $ zfs list -H -p -o name,guid,createtxg -t bookmark -s createtxg -r tank/data
// tank/data#zfsrep_7_20261209111500	8102390113372717473	121
QStringList treeListArgs(const QString &dataset, bool withSnapshots = false);

} // namespace BookmarkCommands
