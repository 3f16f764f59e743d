// Arming and disarming missions in the due-time table.
#include "mxzfsrep.h"

#include "schedules.h"
#include "tq2print.h"

bool MXZfsrep::addSchedules(int msnno, const QJsonArray &schedules)
{
    if (schedules.isEmpty()) {
        std::lock_guard<std::mutex> lock(missionsLock);
        dueTable.insert(msnno, 1);
        TQ2TRACE(msnno, QDateTime::fromSecsSinceEpoch(1));
        return true;
    }
    // The next run is computed before the lock is taken.
    const QDateTime start = now();
    qint64 smallest = 0;
    for (const QJsonValue &schedule : schedules) {
        const qint64 due = toDueTime(nextScheduledDateTime(schedule.toObject(), start, start.date()));
        if (smallest == 0 || due < smallest)
            smallest = due;
    }
    std::lock_guard<std::mutex> lock(missionsLock);
    if (smallest != 0) {
        dueTable.insert(msnno, smallest);
        TQ2TRACE(msnno, QDateTime::fromSecsSinceEpoch(smallest));
    } else {
        dueTable.remove(msnno);
    }
    return true;
}

bool MXZfsrep::removeSchedules(int msnno)
{
    std::lock_guard<std::mutex> lock(missionsLock);
    return dueTable.remove(msnno) > 0;
}

void MXZfsrep::setMissionProblem(int msnno, const QString &problem)
{
    std::lock_guard<std::mutex> lock(missionsLock);
    if (problem.isEmpty())
        problems.remove(msnno);
    else
        problems.insert(msnno, problem);
}

QString MXZfsrep::missionProblem(int msnno) const
{
    std::lock_guard<std::mutex> lock(missionsLock);
    return problems.value(msnno);
}

void MXZfsrep::armForNextPass(int msnno)
{
    std::lock_guard<std::mutex> lock(missionsLock);
    dueTable.insert(msnno, 1);
    minuteMarker = now().time().minute();
}
