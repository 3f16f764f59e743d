// Which notices the missions yield, handed to the NoticeSender: after each
// recorded run (NoticeDecision over the mission's earlier runs), a stale
// scheduled mission (no success for twice its schedule's period; announced
// once, and again only after a success), and at start the failures whose
// notice did not go out before the service stopped. A notice every receiver
// took is marked in the run's history record.
//
// Threads: runFinished on the scheduler thread, checkStale and delivered on
// the sender's thread, resendUnsent at start; the state here is guarded by
// one lock. Only queues notices: nothing here waits on a receiver.
#pragma once

#include "mission.h"
#include "notice.h"
#include "runrecord.h"

#include <QDateTime>
#include <QHash>
#include <QSet>

#include <functional>
#include <mutex>

class MissionBook;
class NoticeSender;
class RunHistory;

class MissionNotices
{
public:
    // Earlier runs looked at for the last verdict before a run.
    static constexpr int kEarlierRuns = 50;

    // Every reference must outlive this object.
    MissionNotices(MissionBook &book, RunHistory &history, NoticeSender &sender, std::function<QDateTime()> clock);

    // The run of `mission` ended and is recorded as `record`.
    void runFinished(const Mission &mission, const RunRecord &record);
    // Queues a stale notice for each scheduled mission that has become stale
    // since the last look.
    void checkStale();
    // Queues a failure notice for every mission whose newest run failed and
    // whose notice did not go out.
    void resendUnsent();
    // The sender's report that `notice` went out.
    void delivered(const Notice &notice);

private:
    MissionBook &book;
    RunHistory &history;
    NoticeSender &sender;
    std::function<QDateTime()> clock;

    std::mutex stateLock;
    QHash<int, qint64> firstSeen; // when a mission without a success was first looked at
    QSet<int> staleAnnounced;     // missions whose staleness was announced
};
