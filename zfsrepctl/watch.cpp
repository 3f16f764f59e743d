#include "watch.h"

#include "errortext.h"
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

// Follows one mission for --until-finished.
struct FinishWatch {
    int msnno = 0;
    bool seen = false;
    bool sawRunning = false; // the followed run was seen going
    QString initialEnd;

    // The exit status of the mission's last run, its failure printed.
    int lastOutcome(const QJsonObject &m) const
    {
        const QString outcome = m.value("lastresult").toString();
        if (outcome.isEmpty()) {
            printError(QStringLiteral("mission %1 has no run going and has not run yet").arg(msnno));
            return ExitFailed;
        }
        if (isFailedOutcome(outcome)) {
            const QString error = firstLine(m.value("lasterror").toString());
            printError(QStringLiteral("mission %1 %2").arg(msnno).arg(outcome)
                       + (error.isEmpty() ? QString() : QStringLiteral(": ") + error));
            return ExitFailed;
        }
        return ExitSucceeded;
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
        } else {
            error = QStringLiteral("watch: unknown argument ") + arg;
            return false;
        }
    }
    return true;
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
            const QString view = renderMissions(records, width);
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
            const int status = finish.check(records);
            if (status >= 0)
                return status;
        }
        if (!pauseUnlessInterrupted(watch.intervalMs))
            return ExitSucceeded;
    }
}
