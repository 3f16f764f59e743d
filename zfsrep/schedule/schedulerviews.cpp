// What the scheduler shows other threads: the runs going, the missions
// waiting, their progress and records, its sign of life. Any thread.
#include "scheduler.h"

#include "run.h"

Scheduler::Going *Scheduler::goingOf(int msnno)
{
    for (Going &going : goingRuns) {
        if (!going.ended && going.run->mission().msnno == msnno)
            return &going;
    }
    return nullptr;
}

const Scheduler::Going *Scheduler::firstGoing() const
{
    for (const Going &going : goingRuns) {
        if (!going.ended)
            return &going;
    }
    return nullptr;
}

int Scheduler::goingCount() const
{
    int count = 0;
    for (const Going &going : goingRuns)
        count += going.ended ? 0 : 1;
    return count;
}

std::shared_ptr<Run> Scheduler::current() const
{
    std::lock_guard<std::mutex> guard(currentLock);
    const Going *first = firstGoing();
    return first ? first->run : std::shared_ptr<Run>();
}

void Scheduler::cancelCurrent()
{
    const CancelToken::Reason reason = stopping.load() ? CancelToken::Stopping : CancelToken::Operator;
    std::lock_guard<std::mutex> guard(currentLock);
    for (Going &going : goingRuns) {
        if (!going.ended)
            going.run->cancel(reason);
    }
}

QJsonObject Scheduler::progress() const
{
    const std::shared_ptr<Run> run = current();
    return run ? run->progress().toJson() : QJsonObject();
}

RunRecord Scheduler::runningRecord() const
{
    const std::shared_ptr<Run> run = current();
    return run ? run->record() : RunRecord();
}

LiveRuns Scheduler::live() const
{
    LiveRuns snapshot;
    std::lock_guard<std::mutex> guard(currentLock);
    for (const Going &going : goingRuns) {
        if (going.ended)
            continue;
        const int msnno = going.run->mission().msnno;
        snapshot.progress.insert(msnno, going.run->progress().toJson());
        snapshot.records.insert(msnno, going.run->record());
    }
    for (int msnno : queue) {
        if (!snapshot.progress.contains(msnno))
            snapshot.waiting.insert(msnno, waitReasons.value(msnno, QStringLiteral("due; it starts at the next look")));
    }
    return snapshot;
}

qint64 Scheduler::heartbeat() const
{
    const qint64 passed = lastPassTime.load();
    bool alive = false;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        for (const Going &going : goingRuns) {
            if (going.ended)
                continue;
            const std::int64_t since = going.run->cancelToken().sinceLastLookMs();
            alive = alive || (since >= 0 && since <= aliveMs.load());
        }
    }
    return alive ? qMax(passed, clock().toSecsSinceEpoch()) : passed;
}
