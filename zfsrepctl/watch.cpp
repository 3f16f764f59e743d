#include "watch.h"

#include "errortext.h"
#include "runwait.h"
#include "safeoutput.h"
#include "terminal.h"
#include "serviceclient.h"
#include "tq2utils.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

namespace {

void printError(const QString &message) { SafeOutput::printError(message); }

// When the mission last ended: the epoch seconds of "lastrun" from services
// that send it, the "finishedtime" text from older ones.
QString lastEnd(const QJsonObject &m)
{
    return m.contains("lastrun") ? QString::number(toInt64(m.value("lastrun"))) : m.value("finishedtime").toString();
}

// Follows one mission for --until-finished: the run going on by its number
// in the history when the service has one recorded as running, else the
// listing's last run.
struct FinishWatch {
    int msnno = 0;
    qint64 runno = 0; // the run followed by its number; 0: by the listing
    bool seen = false;
    bool sawRunning = false; // the followed run was seen going
    QString initialEnd;

    // The exit status of a finished run's outcome, its failure printed.
    int finalStatus(const QString &outcome, const QString &errorText) const
    {
        if (isFailedOutcome(outcome)) {
            const QString error = firstLine(errorText);
            printError(QStringLiteral("mission %1 %2").arg(msnno).arg(outcome)
                       + (error.isEmpty() ? QString() : QStringLiteral(": ") + error));
            return ExitFailed;
        }
        return ExitSucceeded;
    }

    // The exit status of the mission's last run, its failure printed.
    int lastOutcome(const QJsonObject &m) const
    {
        const QString outcome = m.value("lastresult").toString();
        if (outcome.isEmpty()) {
            printError(QStringLiteral("mission %1 has no run going and has not run yet").arg(msnno));
            return ExitFailed;
        }
        return finalStatus(outcome, m.value("lasterror").toString());
    }

    // -1 while the numbered run goes on; otherwise the exit status.
    int checkRun(const QJsonArray &runs) const
    {
        const QJsonObject run = runNumbered(runs, runno);
        if (run.isEmpty()) {
            printError(QStringLiteral("mission %1 run %2 is no longer in its history").arg(msnno).arg(runno));
            return ExitFailed;
        }
        if (isGoing(run))
            return -1;
        return finalStatus(run.value("outcome").toString(), run.value("error").toString());
    }

    // -1 still waiting; otherwise the exit status.
    int check(const QJsonArray &records)
    {
        for (const QJsonValue &value : records) {
            const QJsonObject m = value.toObject();
            if (toInt(m.value("msnno")) != msnno)
                continue;
            const QString end = lastEnd(m);
            const bool running = missionState(m) == QLatin1String("running")
                                 || m.value("lastresult").toString() == QLatin1String("running");
            if (runno > 0)
                return -1;
            if (!seen) {
                seen = true;
                initialEnd = end;
                // Nothing going and nothing about to start: the last
                // outcome at once, not the next scheduled run's.
                sawRunning = running;
                if (running || isStarting(m, QDateTime::currentSecsSinceEpoch()))
                    return -1;
                return lastOutcome(m);
            }
            // A run seen going has ended when it no longer runs; one that was
            // about to start, when the last run is another one and has ended.
            sawRunning = sawRunning || running;
            if (running || (!sawRunning && end == initialEnd))
                return -1;
            return lastOutcome(m);
        }
        printError(QStringLiteral("mission %1 does not exist").arg(msnno));
        return ExitFailed;
    }
};

QJsonObject historyRequest(int msnno, int limit)
{
    return QJsonObject{{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", msnno}, {"limit", limit}}}};
}

// The number of the mission's newest run when it is recorded as going (a
// run asked for is recorded before it starts); 0 when none goes or the
// service keeps no history.
qint64 goingRunno(const CtlOptions &options, int msnno)
{
    QJsonObject answer;
    QString error;
    if (!serviceRequest(options.socket, historyRequest(msnno, 1), &answer, options.timeout, &error)
        || toInt(answer.value("err"), -1) != 0)
        return 0;
    const QJsonObject newest = answer.value("results").toArray().at(0).toObject(); // empty: no run
    return isGoing(newest) ? toInt64(newest.value("runno")) : 0;
}

} // namespace

bool parseWatchOptions(const QStringList &args, WatchOptions &out, QString &error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        auto number = [&](int &target, int scale) {
            bool ok = false;
            const int value = i + 1 < args.size() ? args.at(i + 1).toInt(&ok) : 0;
            if (!ok || value <= 0 || value > 1000000) {
                error = arg + QStringLiteral(" needs a positive whole number");
                return false;
            }
            target = value * scale;
            ++i;
            return true;
        };
        if (arg == QLatin1String("--once")) {
            out.once = true;
        } else if (arg == QLatin1String("--json")) {
            out.json = true;
        } else if (arg == QLatin1String("--interval")) {
            if (!number(out.intervalMs, 1000))
                return false;
        } else if (arg == QLatin1String("--until-finished")) {
            if (!number(out.untilFinished, 1))
                return false;
        } else if (arg == QLatin1String("--width")) {
            if (!number(out.width, 1))
                return false;
        } else if (!arg.startsWith(QLatin1Char('-')) && out.mission == 0) {
            bool ok = false;
            out.mission = arg.toInt(&ok);
            if (!ok || out.mission <= 0) {
                error = QStringLiteral("watch: the mission number must be a positive whole number: ") + arg;
                return false;
            }
        } else {
            error = QStringLiteral("watch: unknown argument ") + arg;
            return false;
        }
    }
    return true;
}

QJsonArray watchedRecords(const QJsonArray &records, int msnno)
{
    QJsonArray running;
    QJsonArray waiting;
    QJsonArray others;
    for (const QJsonValue &value : records) {
        const QJsonObject m = value.toObject();
        if (msnno > 0 && toInt(m.value("msnno")) != msnno)
            continue;
        const QString state = missionState(m);
        (state == QLatin1String("running") ? running : state == QLatin1String("waiting") ? waiting : others).append(m);
    }
    for (const QJsonValue &value : waiting)
        running.append(value);
    for (const QJsonValue &value : others)
        running.append(value);
    return running;
}

bool isStarting(const QJsonObject &mission, qint64 now)
{
    const qint64 nextrun = toInt64(mission.value(QStringLiteral("nextrun")));
    return nextrun > 0 && nextrun <= now + kStartingSlackSeconds;
}

bool isFailedOutcome(const QString &outcome)
{
    return outcome == QLatin1String("failed") || outcome == QLatin1String("cancelled")
           || outcome == QLatin1String("stalled") || outcome == QLatin1String("interrupted");
}

int runWatch(const CtlOptions &options)
{
    WatchOptions watch;
    QString error;
    if (!parseWatchOptions(options.args, watch, error)) {
        printError(error);
        return ExitUsage;
    }
    watch.json = watch.json || options.raw;
    catchInterrupt();
    const bool terminal = ::isatty(STDOUT_FILENO) && !watch.json;
    FinishWatch finish;
    finish.msnno = watch.untilFinished;
    if (finish.msnno > 0)
        finish.runno = goingRunno(options, finish.msnno);
    bool answered = false;
    QString previous;
    for (;;) {
        QJsonObject response;
        const QJsonObject request{{"cmd", "zfsrep_mission_alload"}};
        const bool reached = serviceRequest(options.socket, request, &response, options.timeout, &error);
        if (isInterrupted())
            return ExitSucceeded;
        if (!reached) {
            if (!answered) {
                printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
                return ExitUnreachable;
            }
            printError(QStringLiteral("the zfsrep service went away: %1").arg(error));
            return ExitSucceeded;
        }
        answered = true;
        if (toInt(response.value("err"), -1) != 0) {
            if (watch.json)
                SafeOutput::printAnswer(response, QJsonDocument::Compact, options.raw);
            else
                printError(refusalLine(response,
                                       RefusalContext{QStringLiteral("listing"), QStringLiteral("watch"),
                                                      QStringLiteral("zfsrep_mission_alload"), 0, QString()},
                                       options.raw));
            return ExitFailed;
        }
        const QJsonArray records = response.value("results").toObject().value("records").toArray();
        if (watch.json) {
            SafeOutput::printAnswer(response, QJsonDocument::Compact, options.raw);
        } else {
            const int width = watch.width > 0 ? watch.width : outputColumns();
            const QJsonArray shown = watchedRecords(records, watch.mission);
            const QString view = watch.mission > 0 && shown.isEmpty()
                                     ? QStringLiteral("mission %1 does not exist\n").arg(watch.mission)
                                     : renderMissions(shown, width);
            if (terminal)
                std::fputs("\033[H\033[2J", stdout);
            if (terminal || view != previous)
                SafeOutput::printText(view);
            previous = view;
        }
        std::fflush(stdout);
        if (watch.once)
            return ExitSucceeded;
        if (watch.untilFinished > 0) {
            int status = finish.check(records);
            if (status < 0 && finish.runno > 0) {
                QJsonObject runs;
                if (serviceRequest(options.socket, historyRequest(finish.msnno, 20), &runs, options.timeout, &error)
                    && toInt(runs.value("err"), -1) == 0)
                    status = finish.checkRun(runs.value("results").toArray());
            }
            if (status >= 0)
                return status;
        }
        if (!pauseUnlessInterrupted(watch.intervalMs))
            return ExitSucceeded;
    }
}
