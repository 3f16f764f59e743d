#include "runwait.h"

#include "errortext.h"
#include "missionlookup.h"
#include "missionview.h"
#include "serviceclient.h"
#include "terminal.h"
#include "tq2utils.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kPollMs = 500;
constexpr int kHistoryWindow = 20;

void printError(const QString &message)
{
    std::fprintf(stderr, "zfsrepctl: %s\n", message.toLocal8Bit().constData());
}

QJsonObject historyRequest(int msnno, int limit)
{
    return QJsonObject{{"cmd", "zfsrep_mission_history"}, {"params", QJsonObject{{"msnno", msnno}, {"limit", limit}}}};
}

// One request; -1 when answered with err 0, else the exit status (printed).
int ask(const CtlOptions &options, const QJsonObject &request, QJsonObject &answer, const QString &what, int msnno,
        bool json)
{
    QString error;
    if (!serviceRequest(options.socket, request, &answer, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    if (toInt(answer.value(QStringLiteral("err")), -1) == 0)
        return -1;
    if (json)
        std::fputs(QJsonDocument(answer).toJson(QJsonDocument::Indented).constData(), stdout);
    else
        printError(refusalLine(answer,
                               RefusalContext{what, QStringLiteral("run"), request.value("cmd").toString(), msnno,
                                              QString()},
                               options.raw));
    return ExitFailed;
}

} // namespace

int outcomeExit(const QString &outcome)
{
    if (outcome == QLatin1String("succeeded"))
        return ExitSucceeded;
    if (outcome == QLatin1String("cancelled") || outcome == QLatin1String("interrupted"))
        return ExitRunCancelled;
    return ExitFailed;
}

qint64 newestRunno(const QJsonArray &runs)
{
    qint64 newest = 0;
    for (const QJsonValue &run : runs)
        newest = qMax(newest, toInt64(run.toObject().value(QStringLiteral("runno"))));
    return newest;
}

QJsonObject runAfter(const QJsonArray &runs, qint64 baseline)
{
    QJsonObject found;
    qint64 foundNo = 0;
    for (const QJsonValue &value : runs) {
        const QJsonObject run = value.toObject();
        const qint64 runno = toInt64(run.value(QStringLiteral("runno")));
        if (runno > baseline && (foundNo == 0 || runno < foundNo)) {
            found = run;
            foundNo = runno;
        }
    }
    return found;
}

QJsonObject runNumbered(const QJsonArray &runs, qint64 runno)
{
    for (const QJsonValue &value : runs) {
        if (toInt64(value.toObject().value(QStringLiteral("runno"))) == runno)
            return value.toObject();
    }
    return QJsonObject();
}

QJsonObject followedRun(const QJsonArray &runs, qint64 answered, qint64 baseline)
{
    return answered > 0 ? runNumbered(runs, answered) : runAfter(runs, baseline);
}

bool isGoing(const QJsonObject &run)
{
    const QString outcome = run.value(QStringLiteral("outcome")).toString();
    return outcome.isEmpty() || outcome == QLatin1String("running");
}

QString outcomeLine(int msnno, const QJsonObject &run)
{
    const QString outcome = run.value(QStringLiteral("outcome")).toString();
    const qint64 started = toInt64(run.value(QStringLiteral("started")));
    const qint64 ended = toInt64(run.value(QStringLiteral("ended")));
    QString line = QStringLiteral("mission %1 run %2 %3")
                       .arg(msnno)
                       .arg(toInt64(run.value(QStringLiteral("runno"))))
                       .arg(outcome);
    if (started > 0 && ended >= started)
        line += QStringLiteral(" after ") + formatDuration(ended - started);
    if (outcome == QLatin1String("succeeded"))
        return line + QStringLiteral(", ") + formatBytes(toInt64(run.value(QStringLiteral("bytes"))));
    const QString error = firstLine(run.value(QStringLiteral("error")).toString());
    return error.isEmpty() ? line : line + QStringLiteral(": ") + error;
}

QString waitProgressLine(const QJsonObject &m, int width)
{
    const int rate = toInt(m.value(QStringLiteral("rate")));
    QString tail = QStringLiteral(" %1%").arg(rate, 3);
    if (m.contains(QStringLiteral("bytes"))) {
        tail += QStringLiteral("  ") + formatBytes(toInt64(m.value(QStringLiteral("bytes"))));
        const qint64 total = toInt64(m.value(QStringLiteral("total")));
        if (total > 0)
            tail += QStringLiteral(" of ") + formatBytes(total);
    }
    const QString speed = m.value(QStringLiteral("speed")).toString();
    if (!speed.isEmpty())
        tail += QStringLiteral("  ") + speed;
    if (m.contains(QStringLiteral("eta")) && toInt64(m.value(QStringLiteral("eta"))) >= 0)
        tail += QStringLiteral("  ETA ") + formatDuration(toInt64(m.value(QStringLiteral("eta"))));
    constexpr int kShortestBar = 7;
    const int barWidth = qMin(40, width - textColumns(tail) - 1);
    if (barWidth < kShortestBar)
        return fitText(tail.trimmed(), width);
    return progressBar(rate, barWidth) + tail;
}

int runAndWait(const CtlOptions &options, int msnno, bool json)
{
    const QString what = QStringLiteral("run mission %1").arg(msnno);
    QJsonObject answer;
    if (const int status = ask(options, historyRequest(msnno, 1), answer, what, msnno, json); status >= 0)
        return status;
    const qint64 baseline = newestRunno(answer.value(QStringLiteral("results")).toArray());
    const QJsonObject start{{"cmd", "zfsrep_mission_run"}, {"params", QJsonObject{{"msnno", msnno}}}};
    if (const int status = ask(options, start, answer, what, msnno, json); status >= 0)
        return status;
    const qint64 answered = toInt64(answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("runno")));

    catchInterrupt();
    const bool terminal = ::isatty(STDOUT_FILENO) && !json;
    bool drawn = false;
    QElapsedTimer sinceStart;
    sinceStart.start();
    QJsonObject run;
    for (;;) {
        if (!pauseUnlessInterrupted(kPollMs)) {
            if (drawn)
                std::fputs("\n", stdout);
            printError(QStringLiteral("stopped waiting; mission %1 goes on running").arg(msnno));
            return ExitWaitInterrupted;
        }
        if (const int status = ask(options, historyRequest(msnno, kHistoryWindow), answer, what, msnno, json);
            status >= 0)
            return status;
        const QJsonObject previous = run;
        run = followedRun(answer.value(QStringLiteral("results")).toArray(), answered, baseline);
        if (!run.isEmpty() && !isGoing(run))
            break;
        if (run.isEmpty() && !previous.isEmpty()) {
            // Its history goes with a removed mission.
            printError(QStringLiteral("mission %1 was removed during its run").arg(msnno));
            return ExitRunCancelled;
        }
        if (run.isEmpty() && sinceStart.elapsed() > kRunStartSeconds * 1000) {
            // A stored mission that breaks the rules is accepted for a run
            // but never started; the listing says why.
            QJsonObject listed;
            QJsonObject listing;
            QString error;
            lookupMission(options, msnno, listed, listing, error);
            const QString why = firstLine(listed.value(QStringLiteral("lasterror")).toString());
            printError(QStringLiteral("mission %1 did not start within %2 s%3")
                           .arg(msnno)
                           .arg(kRunStartSeconds)
                           .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why));
            return ExitFailed;
        }
        if (terminal && !run.isEmpty()) {
            QJsonObject listed;
            QJsonObject listing;
            QString error;
            if (lookupMission(options, msnno, listed, listing, error) == Lookup::Found) {
                const QString line = waitProgressLine(listed, outputColumns() - 1);
                std::fputs(("\r\033[K" + line).toLocal8Bit().constData(), stdout);
                std::fflush(stdout);
                drawn = true;
            }
        }
    }
    if (drawn)
        std::fputs("\r\033[K", stdout);
    const int status = outcomeExit(run.value(QStringLiteral("outcome")).toString());
    if (json) {
        const QJsonObject result{{"err", 0}, {"results", run}};
        std::fputs(QJsonDocument(result).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        std::fputs((outcomeLine(msnno, run) + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    }
    std::fflush(stdout);
    return status;
}
