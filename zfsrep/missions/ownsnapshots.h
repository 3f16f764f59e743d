// Which snapshots are a mission's own: those it made, marked with the user
// property zfsrep:mission = "<instance>:<msnno>" (the service's id and the
// mission's number), and those of its series made before snapshots were
// marked (no mark, a name DATASET@SERIES_yyyyMMddHHmmss[_n]). A snapshot
// with another mark (another mission, another service) or of another name is
// never the mission's own. The mark travels with the snapshot in replication
// streams, so the same decision holds on a replica.
//
// Pure and reentrant.
#pragma once

#include "retentionrule.h"

#include <QString>

namespace OwnSnapshots {

// The mark of mission `msnno` of service `instance`; empty when the service
// has no id (its snapshots then carry no mark).
QString mark(const QString &instance, int msnno);

// Whether `owner` (the property's value as zfs lists it: "-" or empty when
// the snapshot has none) is no mark at all.
bool isUnmarked(const QString &owner);

// Whether the snapshot `shortName` (after "@") with the listed `owner` is
// the own snapshot of the mission whose mark is `mark` and whose series is
// `series`.
bool isOwn(const QString &shortName, const QString &owner, const QString &series, const QString &mark);

// The wall-clock stamp of a series name SERIES_yyyyMMddHHmmss[_n] (short
// name) into `stamped`; false for any other name or a stamp that is no
// valid date and time.
bool stampOf(const QString &shortName, const QString &series, StampedSnapshot &stamped);

} // namespace OwnSnapshots
