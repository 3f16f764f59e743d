// The scheduler thread: at every change of the minute, and at once after a
// run-now request, it runs the missions that have fallen due, one at a time,
// records each outcome in the mission's row and the run history, and arms a
// send again for its next scheduled time.
#include "mxzfsrep.h"

#include "missionvalidator.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

#include <QThread>

#include <thread>

bool MXZfsrep::start(TQ2Journals &)
{
    bool expected = false;
    if (!running.compare_exchange_strong(expected, true))
        return true;
    stopping = false;
    // The marker is taken before the thread starts, so a minute that changes
    // while the thread comes up still counts as a change.
    minuteMarker = now().time().minute();
    std::thread(&MXZfsrep::scheduleRun, this).detach();
    {
        std::lock_guard<std::mutex> lock(metricsLock);
        if (!metricsPath.isEmpty() && !metricsThread.joinable()) {
            metricsStop = false;
            metricsThread = std::thread(&MXZfsrep::metricsLoop, this);
        }
    }
    return true;
}

void MXZfsrep::cancel() { cancelled = true; }

bool MXZfsrep::shutdown(int timeoutMs)
{
    stopping = true;
    cancelled = true;
    for (int waited = 0; running.load(); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

void MXZfsrep::scheduleRun()
{
    running = true;
    while (!stopping.load()) {
        // A run-now request is taken at once; otherwise the loop waits for
        // the minute to change, looking at the request between short naps.
        const bool woken = wakeRequested.exchange(false);
        if (!woken && now().time().minute() == minuteMarker.load()) {
            const int tick = tickMs.load();
            for (int slept = 0; slept < tick && !wakeRequested.load() && !stopping.load(); slept += 50)
                QThread::msleep(static_cast<unsigned long>(qMin(50, tick - slept)));
            continue;
        }
        const QDateTime passTime = now();
        lastPass = passTime.toSecsSinceEpoch();
        minuteMarker = passTime.time().minute();
        const qint64 nowTimestamp = static_cast<quint32>(passTime.toSecsSinceEpoch());
        TQ2TRACE("QDateTime::fromSecsSinceEpoch(nowTimestamp)", QDateTime::fromSecsSinceEpoch(nowTimestamp));

        QList<int> due;
        {
            std::lock_guard<std::mutex> lock(missionsLock);
            for (auto it = dueTable.constBegin(); it != dueTable.constEnd(); ++it) {
                TQ2TRACE("it.key()", QStringLiteral("%1 %2 due %3")
                                         .arg(it.key())
                                         .arg(passTime.toString(Qt::ISODate))
                                         .arg(QDateTime::fromSecsSinceEpoch(it.value()).toString(Qt::ISODate)));
                if (it.value() <= nowTimestamp)
                    due.append(it.key());
            }
            for (int msnno : due) {
                TQ2TRACE("it.key()", msnno);
                dueTable.remove(msnno);
            }
        }
        TQ2TRACE("msnnos.size()", due.size());

        QList<int> completed;
        for (int msnno : due) {
            // A stop request between missions ends the pass; the rest are
            // armed again by the next start of the service.
            if (stopping.load())
                break;
            runMission(msnno, completed);
        }
        {
            std::lock_guard<std::mutex> lock(missionsLock);
            for (int msnno : completed)
                dueTable.remove(msnno);
        }
        for (int msnno : completed)
            database->call(QStringLiteral("mission_complete"), QJsonObject{{QStringLiteral("msnno"), msnno}});
    }
    running = false;
}

void MXZfsrep::runMission(int msnno, QList<int> &completed)
{
    QJsonArray rows;
    if (!database->call(rows, QStringLiteral("mission_acquit"), QJsonObject{{QStringLiteral("msnno"), msnno}})
        || rows.isEmpty())
        return;
    QJsonObject mission = rows.first().toObject();
    if (toBool(mission.value(QStringLiteral("done"))))
        return;
    // A stored row that breaks the mission rules is never run; its reason
    // stays readable for the listing.
    const QString problem = MissionValidator::problem(mission);
    setMissionProblem(msnno, problem);
    if (!problem.isEmpty()) {
        TQ2TRACE("problem", problem);
        return;
    }
    // Rows stored with port 0 (or none) reach ssh as port 22.
    mission.insert(QStringLiteral("port"), MissionValidator::effectivePort(mission.value(QStringLiteral("port"))));

    TQ2Journals journals;
    cancelled = stopping.load(); // a stop request already pending cancels at once
    cancelRequested = false;
    const int action = toInt(mission.value(QStringLiteral("action")));
    beginRun(msnno, mission, action);
    {
        std::lock_guard<std::mutex> lock(progressLock);
        progressObject = QJsonObject{{QStringLiteral("msnno"), msnno}, {QStringLiteral("action"), action}};
    }
    activeJournals = &journals;
    const QJsonArray schedules = toJsonArray(mission.value(QStringLiteral("schedules")).toString());
    int done = schedules.isEmpty() ? 1 : 0;
    TQ2TRACE("msnno", msnno);
    TQ2TRACE("", QString());

    bool ran = true;
    bool succeeded = false;
    switch (action) {
    case 1: succeeded = sendPool(journals, mission); break;
    case 2: succeeded = recvPool(journals, mission); break;
    case 3: succeeded = sendFile(journals, mission); break;
    case 4: succeeded = recvFile(journals, mission); break;
    default: ran = false; break;
    }
    activeJournals = nullptr;
    if (!ran)
        journals.setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: action: %1").arg(action));
    finishRun(succeeded, journals);
    if (ran) {
        if (!succeeded)
            TQ2TRACE("journals.toObject()", journals.toObject());
        if (action == 1 || action == 3) {
            // A scheduled send or export runs again at its next time whether
            // this run failed or not: one failure must not end a schedule.
            if (!schedules.isEmpty())
                addSchedules(msnno, schedules);
        } else if (succeeded) {
            done = 1;
            completed.append(msnno);
        }
    }
    {
        std::lock_guard<std::mutex> lock(progressLock);
        progressObject = QJsonObject();
    }
    database->call(QStringLiteral("mission_finished"),
                   QJsonObject{{QStringLiteral("msnno"), msnno}, {QStringLiteral("done"), done}});
    writeMetricsFile();
}
