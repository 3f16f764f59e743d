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
// Fields of a line of a -H listing: split at tabs only, as names and mount
// points may hold spaces; a line without a tab is split as fields() does.
QStringList columns(const QString &line);

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

// ---- Listings in either form ----
// OpenZFS before 2.3 has no -j; its tab-separated listings are read into the
// same entries as the JSON ones, so that one reader serves both forms.

// The entries under `member` of a JSON listing ("datasets" of `zfs list -j`,
// "pools" of `zpool list -j`), keyed by name; empty when the text is no such
// document (as `zpool list -j` prints nothing when there are no pools).
QJsonObject jsonListing(const QByteArray &json, const QString &member);

// The entries of a tab-separated listing of the given columns (the `-o` list,
// "name" first), shaped like the JSON entries of the same listing:
//   $ zfs list -H -p -o name,type,used,available,mountpoint
//   tank/my data	filesystem	1245184	10307921510	/tank/my data
// becomes {"tank/my data": {"name", "type": "FILESYSTEM", "pool": "tank",
// "properties": {"used": {"value": "1245184"}, ...}}}. A snapshot entry also
// has "dataset" and "snapshot_name"; without a "type" column the type comes
// from the name (SNAPSHOT with "@", BOOKMARK with "#"). Fields are split at
// tabs only (names and mount points may hold spaces; a tab beyond the last
// column stays in its value); lines with fewer fields or an empty name are
// skipped.
QJsonObject textListing(const QByteArray &text, const QStringList &columns);

// poolMap and snapshotRecords over listing entries in either form.
QJsonObject poolMap(const QJsonObject &datasets, const QJsonObject &pools);
QJsonArray snapshotRecords(const QJsonObject &snapshots);

// True when a tool's answer is the refusal of -j by a release without JSON
// output (before OpenZFS 2.3):
//   $ zfs list -pj
//   invalid option 'j'
//   usage: ...                                  (exit status 2)
bool refusesJson(int exitCode, const QByteArray &standardError);

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
