// An operator's control of the missions: run one now, cancel the running one.
#include "mxzfsrep.h"

#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

bool MXZfsrep::runNow(TQ2Journals &journals, int msnno)
{
    QJsonArray rows;
    if (!database->call(rows, QStringLiteral("mission_acquit"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, database->lastError());
        return false;
    }
    if (rows.isEmpty()) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务不存在: %1").arg(msnno));
        return false;
    }
    if (!running.load() || stopping.load()) {
        journals.setErr(TQ2Error::ERR_NOT_ACTIVE, QStringLiteral("调度器没有运行"));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(progressLock);
        const int runningMission = toInt(progressObject.value(QStringLiteral("msnno")));
        if (runningMission == msnno) {
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("任务正在运行: %1").arg(msnno));
            return false;
        }
        if (runningMission != 0) {
            journals.setErr(TQ2Error::ERR_BUSY, QStringLiteral("另一个任务正在运行: %1 (%2)")
                                                    .arg(runningMission)
                                                    .arg(currentRun.caption));
            return false;
        }
    }
    // A finished mission (a receive or restore that completed, a send without
    // schedules that ran) becomes pending again, or the scheduler would skip it.
    if (toBool(rows.first().toObject().value(QStringLiteral("done")))
        && !database->call(QStringLiteral("mission_rearm"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, database->lastError());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(missionsLock);
        dueTable.insert(msnno, 0);
    }
    wakeRequested = true;
    return true;
}

bool MXZfsrep::cancelMission(TQ2Journals &journals, int msnno)
{
    std::lock_guard<std::mutex> lock(progressLock);
    const int runningMission = toInt(progressObject.value(QStringLiteral("msnno")));
    if (runningMission != msnno) {
        journals.setErr(TQ2Error::ERR_NOT_ACTIVE,
                        runningMission == 0 ? QStringLiteral("任务没有运行: %1").arg(msnno)
                                            : QStringLiteral("任务没有运行: %1 (正在运行: %2)").arg(msnno).arg(runningMission));
        return false;
    }
    // Both flags are set under the progress lock: the scheduler clears them
    // before it publishes the next mission, so they reach this run only.
    cancelRequested = true;
    cancelled = true;
    return true;
}
