// Pure parsers that turn the output of `zfs`, `zpool` (local or through ssh)
// into the engine's JSON results. Text in, JSON out: no process, no state.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace ZfsOutput {

// Tool output as text: UTF-8 up to the first NUL byte.
QString decode(const QByteArray &bytes);
// Lines at line feeds, empty lines dropped.
QStringList lines(const QString &text);
QStringList lines(const QByteArray &bytes);
// Fields of a line: tabs count as spaces, empty pieces dropped.
QStringList fields(const QString &line);

// Pool map from the two JSON listings:
//   $ zfs list -pj
//   {"output_version":{...},"datasets":{"tank/data":{"name":"tank/data","type":"FILESYSTEM",...}}}
//   $ zpool list -pjo name,size,free
//   {"output_version":{...},"pools":{"tank":{"name":"tank",...,"properties":{"size":{"value":"10670309376",...
// Each pool: "name", "size" and "free" in MiB, and "items" (datasets below
// the root keyed by their name relative to the pool) when there are any.
QJsonObject poolMap(const QByteArray &datasetsJson, const QByteArray &poolsJson);

// Snapshot records from
//   $ zfs list -t snapshot -H -pjo name,used,refer
// each {"name", "used" (used + referenced bytes, held at the qint64 limits),
// "pool", "dataset", "snapshot"}.
QJsonArray snapshotRecords(const QByteArray &json);

// The stream size of a dry-run send: the second field of the first line whose
// first field is "size", 0 when there is none or it is no number.
//   $ zfs send -RPnv tank/data@c
//   full	tank/data@a	1127224
//   size	1127224
qint64 sendSize(const QByteArray &output);
// The stream bytes a resumed send starts after: the "bytes" entry of the
// token contents that `zfs send -nvP -t TOKEN` prints first (0 when absent).
//   resume token contents:
//   nvlist version: 0
//   	bytes = 0x1a2b00
qint64 resumedBytes(const QByteArray &output);

// (snapshot, tag) of every line with at least two fields.
//   $ zfs holds -H tank/data@b
//   tank/data@b	keep	Thu Dec  7 19:30 2023
QList<QPair<QString, QString>> holds(const QByteArray &output);

// Remote pools from
//   $ zpool list -Hpo name,size,free
//   tank	10670309376	10669834240
// as {"name", "size", "free"} with sizes in MiB. Lines with fewer than three
// fields are skipped.
QJsonObject remotePools(const QByteArray &output);

// Snapshot names, one per line, trimmed.
//   $ zfs list -H -o name -t snapshot tank/data
QStringList snapshotNames(const QByteArray &output);

// Remote snapshot tree: pool → first-level dataset → snapshot names, from
//   $ zfs list -Ho name -t snapshot        (untrimmed lines)
//   $ zfs list -pHo name,mountpoint        (datasets; "legacy" mounts left out)
QJsonObject snapshotTree(const QByteArray &snapshotList, const QByteArray &datasetList);

} // namespace ZfsOutput
