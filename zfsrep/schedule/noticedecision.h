// Which notice a finished run yields and when a scheduled mission is stale.
// Pure functions of outcomes, stamps and the configured kinds; tested on
// tables. Reentrant.
#pragma once

#include "noticesettings.h"
#include "runrecord.h"

#include <QList>
#include <QString>

namespace NoticeDecision {

// Whether an outcome counts as a failure for notices ("failed", "stalled");
// a cancel, an interruption by a stop, a run still going are neither.
bool isFailure(const QString &outcome);
bool isSuccess(const QString &outcome);

// The newest outcome among `earlier` (newest first) that is a success or a
// failure; "" when there is none.
QString lastVerdict(const QList<RunRecord> &earlier);

// The notice `outcome` yields, after the mission's last verdict `previous`,
// with the kinds `settings` sends: "failure" for a failure; "recovery" for
// a success after a failure; "success" for any other success (and for a
// recovery when only "success" is wanted); "" when none is sent.
QString afterRun(const QString &outcome, const QString &previous, const NoticeSettings &settings);

// Whether a scheduled mission (period > 0 seconds) has gone without a
// success for twice its period at `now`: the clock counts from its last
// success, or from `since` when it never had one (0: not known, never
// stale). Every stamp in seconds since the epoch.
bool isStale(qint64 period, qint64 lastSuccess, qint64 since, qint64 now);

} // namespace NoticeDecision
