// Decides what one replication run does, from the two sides' listings only:
// nothing, a full stream, an incremental stream from the newest snapshot both
// sides hold (matched by guid, never by name), a resumed stream, or a refusal
// that names the snapshots involved. When the source no longer holds the
// target's newest snapshot but one of its bookmarks has that guid (the base
// snapshot was destroyed after the mission bookmarked it), the incremental
// stream starts from that bookmark.
// Nothing is ever rolled back or destroyed
// on either side, so a target that diverged (other snapshots, or data
// written after its newest snapshot) is refused, not repaired.
// Pure: no I/O, no state; the engine carries the plan out.
#pragma once

#include "snapshotlisting.h"

#include <QString>
#include <QStringList>

struct ReplicationPlan {
    enum Action { Nothing, Full, Incremental, Resume, Refuse };
    Action action = Refuse;
    QString base;   // incremental: the common snapshot (short name), or the bookmark's
    bool fromBookmark = false; // `base` is a bookmark (after "#"): one stream, -i
    QString target; // full / incremental: the source snapshot sent up to
    QString token;  // resume: the target's receive_resume_token
    QString reason; // one line for the journal and the run history

    // "full", "incremental", "resume", "nothing" or "refuse".
    QString kind() const;
};

namespace ReplicationPlanner {

ReplicationPlan plan(const DatasetListing &source, const DatasetListing &target);

} // namespace ReplicationPlanner
