#include "listcommand.h"

#include "errortext.h"
#include "listview.h"
#include "missiondetail.h"
#include "missionlookup.h"
#include "serviceclient.h"
#include "tq2utils.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

void printError(const QString &message)
{
    std::fprintf(stderr, "zfsrepctl: %s\n", message.toLocal8Bit().constData());
}

// The answer as JSON; stored passwords masked when a person reads it.
void printAnswer(const QJsonObject &answer)
{
    const QJsonObject shown = ::isatty(STDOUT_FILENO) ? maskSecrets(answer).toObject() : answer;
    std::fputs(QJsonDocument(shown).toJson(QJsonDocument::Indented).constData(), stdout);
}

// One line from standard input, without its newline; empty at its end.
QString readLine()
{
    char buffer[256];
    if (!std::fgets(buffer, sizeof buffer, stdin))
        return QString();
    return QString::fromLocal8Bit(buffer).trimmed();
}

QString refusalText(const CtlOptions &options, const QString &what, int msnno, const QString &method,
                    const QJsonObject &answer)
{
    return refusalLine(answer, RefusalContext{what, options.command, method, msnno, QString()}, options.raw);
}

} // namespace

bool parseListArgs(const QStringList &args, bool &json, QString &error)
{
    json = false;
    for (const QString &arg : args) {
        if (arg != QLatin1String("--json")) {
            error = QStringLiteral("list: unexpected argument \"%1\"").arg(arg);
            return false;
        }
        json = true;
    }
    return true;
}

bool parseRemoveArgs(const QStringList &args, RemoveArgs &out, QString &error)
{
    out = RemoveArgs();
    for (const QString &arg : args) {
        if (arg == QLatin1String("--yes") || arg == QLatin1String("-y")) {
            out.yes = true;
            continue;
        }
        if (arg == QLatin1String("--json")) {
            out.json = true;
            continue;
        }
        bool ok = false;
        const int number = arg.toInt(&ok);
        if (out.msnno == 0 && !arg.startsWith(QLatin1Char('-')) && !arg.startsWith(QLatin1Char('+')) && ok
            && number > 0) {
            out.msnno = number;
            continue;
        }
        error = out.msnno == 0 && !arg.startsWith(QLatin1Char('-'))
                    ? QStringLiteral("remove: the mission number must be a positive whole number, not \"%1\"").arg(arg)
                    : QStringLiteral("remove: unexpected argument \"%1\"").arg(arg);
        return false;
    }
    if (out.msnno == 0) {
        error = QStringLiteral("remove needs a mission number (msnno)");
        return false;
    }
    return true;
}

bool isYes(const QString &answer)
{
    const QString word = answer.trimmed().toLower();
    return word == QLatin1String("y") || word == QLatin1String("yes");
}

int runList(const CtlOptions &options)
{
    bool json = false;
    QString error;
    if (!parseListArgs(options.args, json, error)) {
        printError(error);
        return ExitUsage;
    }
    QJsonObject answer;
    if (!serviceRequest(options.socket, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, &answer, options.timeout,
                        &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const bool succeeded = toInt(answer.value(QStringLiteral("err")), -1) == 0;
    if (json) {
        printAnswer(answer);
        return succeeded ? ExitSucceeded : ExitFailed;
    }
    if (!succeeded) {
        printError(refusalText(options, QStringLiteral("list"), 0, QStringLiteral("zfsrep_mission_alload"), answer));
        return ExitFailed;
    }
    const QJsonArray records = answer.value("results").toObject().value("records").toArray();
    std::fputs(renderMissionList(records).toLocal8Bit().constData(), stdout);
    return ExitSucceeded;
}

int runRemove(const CtlOptions &options)
{
    RemoveArgs args;
    QString error;
    if (!parseRemoveArgs(options.args, args, error)) {
        printError(error);
        return ExitUsage;
    }
    const bool ask = !args.yes;
    if (ask && !::isatty(STDIN_FILENO)) {
        printError(QStringLiteral("remove: not asking without a terminal; give --yes to remove mission %1")
                       .arg(args.msnno));
        return ExitUsage;
    }
    if (ask) {
        QJsonObject mission;
        QJsonObject listing;
        switch (lookupMission(options, args.msnno, mission, listing, error)) {
        case Lookup::Unreachable:
            printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
            return ExitUnreachable;
        case Lookup::Refused:
            printError(refusalText(options, QStringLiteral("remove mission %1").arg(args.msnno), args.msnno,
                                   QStringLiteral("zfsrep_mission_alload"), listing));
            return ExitFailed;
        case Lookup::Missing:
            printError(QStringLiteral("remove: mission %1 does not exist").arg(args.msnno));
            return ExitFailed;
        case Lookup::Found:
            break;
        }
        const QString question = QStringLiteral("Remove mission %1 (%2, %3 %4 -> %5) and its run history? [y/N] ")
                                     .arg(args.msnno)
                                     .arg(mission.value(QStringLiteral("caption")).toString(),
                                          kindName(toInt(mission.value(QStringLiteral("action")))),
                                          missionSource(mission), missionTarget(mission));
        std::fputs(question.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        if (!isYes(readLine())) {
            printError(QStringLiteral("mission %1 was not removed").arg(args.msnno));
            return ExitFailed;
        }
    }
    QJsonObject answer;
    const QJsonObject request{{"cmd", "zfsrep_mission_remove"}, {"params", QJsonObject{{"msnno", args.msnno}}}};
    if (!serviceRequest(options.socket, request, &answer, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const bool succeeded = toInt(answer.value(QStringLiteral("err")), -1) == 0;
    if (args.json) {
        printAnswer(answer);
        return succeeded ? ExitSucceeded : ExitFailed;
    }
    if (!succeeded) {
        printError(refusalText(options, QStringLiteral("remove mission %1").arg(args.msnno), args.msnno,
                               QStringLiteral("zfsrep_mission_remove"), answer));
        return ExitFailed;
    }
    std::printf("mission %d removed\n", args.msnno);
    return ExitSucceeded;
}
