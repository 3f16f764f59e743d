#include "missioncommands.h"

#include "errortext.h"
#include "missionlookup.h"
#include "runwait.h"
#include "missionview.h"
#include "safeoutput.h"
#include "scheduletext.h"
#include "serviceclient.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <climits>
#include <cstdio>

namespace {

constexpr int kMaxLimit = 1000000;

void printError(const QString &message) { SafeOutput::printError(message); }

bool positiveNumber(const QString &text, int max, int &value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value > 0 && value <= max;
}

QString methodOf(const QString &command)
{
    if (command == QLatin1String("run"))
        return QStringLiteral("zfsrep_mission_run");
    if (command == QLatin1String("cancel"))
        return QStringLiteral("zfsrep_mission_cancel");
    if (command == QLatin1String("history"))
        return QStringLiteral("zfsrep_mission_history");
    return QStringLiteral("zfsrep_metrics");
}

// "mission 3  Nightly  schedule days=mon-fri hours=2 minutes=30" above a
// history table, from the listing; empty when the mission is not listed
// (or the service does not answer).
QString historyHeading(const CtlOptions &options, int msnno)
{
    QJsonObject listing;
    QString error;
    if (!serviceRequest(options.socket, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, &listing, options.timeout,
                        &error))
        return QString();
    for (const QJsonValue &value : listing.value("results").toObject().value("records").toArray()) {
        const QJsonObject m = value.toObject();
        if (toInt(m.value("msnno")) != msnno || !m.value("schedules").isArray())
            continue;
        return QStringLiteral("mission %1  %2  schedule %3\n")
            .arg(msnno)
            .arg(m.value("caption").toString(), formatSchedules(m.value("schedules").toArray()));
    }
    return QString();
}

} // namespace

bool isMissionCommand(const QString &command)
{
    return command == QLatin1String("run") || command == QLatin1String("cancel")
           || command == QLatin1String("history") || command == QLatin1String("metrics");
}

bool parseMissionArgs(const QString &command, const QStringList &args, MissionArgs &out, QString &error)
{
    const bool wantsMission = command != QLatin1String("metrics");
    const bool takesLimit = command == QLatin1String("history");
    bool haveMission = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--json")) {
            out.json = true;
            continue;
        }
        if (arg == QLatin1String("--wait") && command == QLatin1String("run")) {
            out.wait = true;
            continue;
        }
        if (takesLimit && (arg == QLatin1String("--limit") || arg.startsWith(QLatin1String("--limit=")))) {
            const QString value = arg.contains(QLatin1Char('=')) ? arg.mid(arg.indexOf(QLatin1Char('=')) + 1)
                                  : i + 1 < args.size()           ? args.at(++i)
                                                                  : QString();
            if (!positiveNumber(value, kMaxLimit, out.limit)) {
                error = QStringLiteral("%1: --limit needs a positive whole number, not \"%2\"").arg(command, value);
                return false;
            }
            continue;
        }
        if (wantsMission && !haveMission && !arg.startsWith(QLatin1Char('-'))) {
            if (!positiveNumber(arg, INT_MAX, out.msnno)) {
                error = QStringLiteral("%1: the mission number must be a positive whole number, not \"%2\"")
                            .arg(command, arg);
                return false;
            }
            haveMission = true;
            continue;
        }
        error = QStringLiteral("%1: unexpected argument \"%2\"").arg(command, arg);
        return false;
    }
    if (wantsMission && !haveMission) {
        error = QStringLiteral("%1 needs a mission number (msnno)").arg(command);
        return false;
    }
    return true;
}

QJsonObject missionRequest(const QString &command, const MissionArgs &args)
{
    QJsonObject params;
    if (command != QLatin1String("metrics"))
        params.insert(QStringLiteral("msnno"), args.msnno);
    if (command == QLatin1String("history"))
        params.insert(QStringLiteral("limit"), args.limit);
    return QJsonObject{{"cmd", methodOf(command)}, {"params", params}};
}

QString missionAnswerText(const QString &command, const MissionArgs &args, const QJsonObject &answer)
{
    if (command == QLatin1String("run"))
        return QStringLiteral("mission %1 started\n").arg(args.msnno);
    if (command == QLatin1String("cancel"))
        return QStringLiteral("mission %1: its transfer was asked to end\n").arg(args.msnno);
    if (command == QLatin1String("history"))
        return renderHistory(answer.value("results").toArray());
    QString text = answer.value("results").toObject().value("text").toString();
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text;
}

int runMissionCommand(const CtlOptions &options)
{
    MissionArgs args;
    QString error;
    if (!parseMissionArgs(options.command, options.args, args, error)) {
        printError(error);
        return ExitUsage;
    }
    args.json = args.json || options.raw;
    if (args.wait)
        return runAndWait(options, args.msnno, args.json);
    const QJsonObject request = missionRequest(options.command, args);
    // Asked first, so that the history request is the last one sent.
    const QString heading =
        options.command == QLatin1String("history") && !args.json ? historyHeading(options, args.msnno) : QString();
    QJsonObject answer;
    if (!serviceRequest(options.socket, request, &answer, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const QJsonValue err = answer.value(QStringLiteral("err"));
    const bool succeeded = err.isDouble() && err.toDouble() == 0;
    // The service answers an empty history for a mission it does not have.
    const bool noRuns = succeeded && options.command == QLatin1String("history")
                        && answer.value(QStringLiteral("results")).toArray().isEmpty();
    const int missing = noRuns ? requireMission(options, args.msnno, QStringLiteral("history")) : -1;
    if (args.json) {
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
        if (missing >= 0)
            return missing;
        return succeeded ? ExitSucceeded : ExitFailed;
    }
    if (missing >= 0)
        return missing;
    if (!succeeded) {
        RefusalContext context;
        context.what = options.command;
        if (args.msnno > 0)
            context.what += QStringLiteral(" mission %1").arg(args.msnno);
        context.command = options.command;
        context.method = request.value("cmd").toString();
        context.msnno = args.msnno;
        printError(refusalLine(answer, context, options.raw));
        return ExitFailed;
    }
    // The exposition is read by programs: always UTF-8, whatever the locale.
    QString text = missionAnswerText(options.command, args, answer);
    text.prepend(heading);
    if (options.command == QLatin1String("metrics"))
        std::fputs(SafeOutput::escaped(text).toUtf8().constData(), stdout);
    else
        SafeOutput::printText(text);
    return ExitSucceeded;
}
