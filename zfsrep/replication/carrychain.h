// The steps of a send that carries the mission's own snapshots only
// (mission key "carry" = "series"): every own snapshot of the source's top
// after the newest one the target's top holds (matched by guid), oldest
// first, each to be sent incrementally from the one before (-i), so no
// other snapshot (an admin's, another mission's, a failed run's leftover of
// another series) reaches the target.
//
// Pure.
#pragma once

#include "ownerlisting.h"
#include "snapshotlisting.h"

#include <QStringList>

namespace CarryChain {

// "all" (the default, also for an empty or unknown stored value) or "series".
bool isSeries(const QString &carry);

// The short names to send in order; empty when the target shares no
// snapshot with the source (a full stream comes first) or holds the newest
// own snapshot already.
QStringList steps(const QList<OwnedSnapshot> &source, const QList<SnapshotInfo> &target, const QString &series,
                  const QString &mark);

} // namespace CarryChain
