#include "scheduler.h"

#include "duetable.h"
#include "missionbook.h"
#include "missionvalidator.h"
#include "run.h"
#include "runexecutor.h"
#include "runhistory.h"
#include "tq2print.h"

#include <QThread>

namespace {

// How long past the minute's end a nap that waits for it lasts: the clock
// then reads the new minute.
constexpr int kPastMinuteMs = 5;

} // namespace

Scheduler::Scheduler(MissionBook &missionBook, DueTable &dueTable, RunHistory &runHistory, RunExecutor &runExecutor,
                     std::function<QDateTime()> clockFunction, AfterRun afterEachRun)
    : book(missionBook), due(dueTable), history(runHistory), executor(runExecutor), clock(std::move(clockFunction)),
      afterRun(std::move(afterEachRun))
{
}

Scheduler::~Scheduler()
{
    // Running transfers are cancelled so the thread ends in bounded time.
    while (running.load()) {
        stopping = true;
        cancelCurrent();
        QThread::msleep(50);
    }
}

void Scheduler::start()
{
    bool expected = false;
    if (!running.compare_exchange_strong(expected, true))
        return;
    stopping = false;
    // The marker is taken before the thread starts, so a minute that changes
    // while the thread comes up still counts as a change.
    due.setMinuteMarker(clock().time().minute());
    std::thread(&Scheduler::loop, this).detach();
}

void Scheduler::setLimits(const RunLimits &limits)
{
    std::lock_guard<std::mutex> guard(currentLock);
    runLimits = limits;
    runLimits.maxParallel = qBound(1, runLimits.maxParallel, RunLimits::kMost);
    runLimits.maxPerHost = qBound(1, runLimits.maxPerHost, RunLimits::kMost);
}

RunLimits Scheduler::limits() const
{
    std::lock_guard<std::mutex> guard(currentLock);
    return runLimits;
}

bool Scheduler::shutdown(int timeoutMs)
{
    stopping = true;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        for (Going &going : goingRuns)
            going.run->cancel(CancelToken::Stopping);
    }
    for (int waited = 0; running.load(); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

void Scheduler::loop()
{
    running = true;
    while (!stopping.load()) {
        // A run-now request or the end of a run is taken at once; otherwise
        // the loop waits for the minute to change, looking at the request
        // between short naps. It naps a tick, or only until the minute ends
        // when that is sooner, so a mission due at the minute change starts
        // within a nap of it.
        reapEnded();
        cleanUpRemoved();
        const bool woken = wakeRequested.exchange(false);
        const QTime now = clock().time();
        if (!woken && now.minute() == due.minuteMarker()) {
            const int untilMinute = 60000 - (now.second() * 1000 + now.msec()) + kPastMinuteMs;
            const int nap = qMin(tickMs.load(), untilMinute);
            for (int slept = 0; slept < nap && !wakeRequested.load() && !stopping.load(); slept += 50)
                QThread::msleep(static_cast<unsigned long>(qMin(50, nap - slept)));
            continue;
        }
        pass();
    }
    // Every run was cancelled by the stop request (or is, if it started
    // after it): wait for each to record its end.
    for (;;) {
        reapEnded();
        {
            std::lock_guard<std::mutex> guard(currentLock);
            if (goingRuns.empty())
                break;
            for (Going &going : goingRuns)
                going.run->cancel(CancelToken::Stopping);
        }
        QThread::msleep(20);
    }
    running = false;
}

void Scheduler::pass()
{
    const QDateTime passTime = clock();
    lastPassTime = passTime.toSecsSinceEpoch();
    due.setMinuteMarker(passTime.time().minute());
    const qint64 nowTimestamp = static_cast<quint32>(passTime.toSecsSinceEpoch());
    const QList<int> dueNow = due.takeDue(nowTimestamp);
    if (tracing.load() && !dueNow.isEmpty())
        TQ2TRACE("dueNow", QStringLiteral("%1 due at %2").arg(dueNow.size()).arg(passTime.toString(Qt::ISODate)));
    {
        std::lock_guard<std::mutex> guard(currentLock);
        for (int msnno : dueNow) {
            if (!queue.contains(msnno))
                queue.append(msnno);
        }
    }
    admit();
}

void Scheduler::admit()
{
    QList<int> order;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        order = queue;
    }
    for (int msnno : order) {
        // A stop request ends the pass; the queued missions are armed again
        // by the next start of the service.
        if (stopping.load())
            break;
        tryStart(msnno);
    }
}

bool Scheduler::tryStart(int msnno)
{
    {
        // With every slot taken nothing else can start: no row is read.
        std::lock_guard<std::mutex> guard(currentLock);
        if (!queue.contains(msnno))
            return true;
        const RunAdmission::Decision full = RunAdmission::slotFree(runLimits, goingCount());
        if (!full.start) {
            waitReasons.insert(msnno, full.reason);
            return false;
        }
    }
    auto leave = [this, msnno](const QString &reason) {
        RunRecord begun;
        {
            std::lock_guard<std::mutex> guard(currentLock);
            queue.removeAll(msnno);
            waitReasons.remove(msnno);
            begun = requested.take(msnno);
        }
        dropRequested(begun, reason);
        return true;
    };
    TQ2Journals lookup;
    QJsonObject row;
    if (!book.row(lookup, msnno, row))
        return leave(QStringLiteral("the mission is gone"));
    const Mission mission = Mission::fromRow(row);
    if (mission.done)
        return leave(QStringLiteral("the mission is done"));
    // A stored row that breaks the mission rules is never run; its reason
    // stays readable for the listing.
    const QString problem = MissionValidator::problem(row);
    due.setProblem(msnno, problem);
    if (!problem.isEmpty()) {
        TQ2TRACE("problem", problem);
        return leave(problem);
    }

    const RunFootprint footprint = RunFootprint::of(mission);
    std::shared_ptr<Run> run;
    Going *going = nullptr;
    RunRecord begun;
    {
        std::lock_guard<std::mutex> guard(currentLock);
        // Cancelled or removed while its row was read.
        if (!queue.contains(msnno))
            return true;
        QList<RunAdmission::Going> others;
        for (const Going &other : goingRuns) {
            if (other.ended)
                continue;
            if (other.run->mission().msnno == msnno) {
                waitReasons.insert(msnno, QStringLiteral("its previous run still goes"));
                return false;
            }
            others.append(RunAdmission::Going{other.run->mission().msnno, other.footprint});
        }
        const RunAdmission::Decision decision = RunAdmission::decide(runLimits, others, footprint);
        if (!decision.start) {
            waitReasons.insert(msnno, decision.reason);
            return false;
        }
        queue.removeAll(msnno);
        waitReasons.remove(msnno);
        // A run asked for through runNow was recorded already.
        begun = requested.take(msnno);
        run = std::make_shared<Run>(mission, clock().toSecsSinceEpoch());
        goingRuns.push_back(Going{run, footprint, std::thread(), false});
        going = &goingRuns.back();
    }
    if (begun.runno > 0) {
        run->setRecord(begun);
    } else {
        begun = run->record();
        // A run is recorded before it runs: one whose start cannot be
        // written does not start, so that monitoring never misses a run.
        // The mission stays armed and is tried again at the next minute.
        if (!history.begin(begun)) {
            TQ2TRACE("runNotRecorded", QStringLiteral("mission %1 (%2) does not run now: its start cannot be recorded "
                                                      "(%3); it is tried again at the next minute")
                                           .arg(msnno)
                                           .arg(mission.caption, history.lastError()));
            {
                std::lock_guard<std::mutex> guard(currentLock);
                goingRuns.remove_if([going](const Going &entry) { return &entry == going; });
            }
            due.armForNextPass(msnno);
            return true;
        }
    }
    begun.outcome = QStringLiteral("running");
    run->setRecord(begun);
    // A stop request already pending cancels at once (shutdown cancels what
    // it finds under the lock; this catches a run published after that).
    if (stopping.load())
        run->cancel(CancelToken::Stopping);
    std::lock_guard<std::mutex> guard(currentLock);
    going->worker = std::thread(&Scheduler::runMission, this, going);
    return true;
}
