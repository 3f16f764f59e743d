#include "missionedit.h"

#include "errortext.h"
#include "missiondetail.h"
#include "missionform.h"
#include "passwordinput.h"
#include "safeoutput.h"
#include "serviceclient.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

namespace {

void printError(const QString &message) { SafeOutput::printError(message); }

// One request; -1 when it was answered with err 0, else the exit status
// (the failure already printed, or with --json the answer).
int call(const CtlOptions &options, const QJsonObject &request, QJsonObject &answer, const QString &what, bool json,
         int msnno = 0, const QString &caption = QString())
{
    QString error;
    if (!serviceRequest(options.socket, request, &answer, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const int err = toInt(answer.value(QStringLiteral("err")), -1);
    if (err == 0)
        return -1;
    if (json)
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
    else
        printError(refusalLine(answer,
                               RefusalContext{what, options.command, request.value("cmd").toString(), msnno, caption},
                               options.raw));
    return ExitFailed;
}

// The listed mission `msnno`; -1 when found, else the exit status.
int findMission(const CtlOptions &options, int msnno, const QString &what, QJsonObject &mission)
{
    QJsonObject answer;
    const int status = call(options, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, answer, what, false, msnno);
    if (status >= 0)
        return status;
    for (const QJsonValue &value : answer.value("results").toObject().value("records").toArray()) {
        if (toInt(value.toObject().value(QStringLiteral("msnno"))) == msnno) {
            mission = value.toObject();
            return -1;
        }
    }
    printError(QStringLiteral("%1: mission %2 does not exist").arg(what).arg(msnno));
    return ExitFailed;
}

// Fills "passwd" from the form's source; Unchanged asks on a terminal when
// `required`, else leaves the field alone. False after printing why.
bool takePassword(const MissionForm &form, const QString &account, bool required, QJsonObject &params)
{
    QString password;
    QString error;
    switch (form.password) {
    case PasswordSource::Empty:
        break;
    case PasswordSource::Fd:
        if (!readPasswordFd(form.passwordFd, password, error)) {
            printError(error);
            return false;
        }
        break;
    case PasswordSource::Unchanged:
        if (!required)
            return true;
        if (!::isatty(STDIN_FILENO)) {
            printError(QStringLiteral("the remote password is needed: give --password-fd N (or --no-password), "
                                      "or run on a terminal to be asked"));
            return false;
        }
        Q_FALLTHROUGH();
    case PasswordSource::Prompt:
        if (!askPassword(QStringLiteral("Password for %1: ").arg(account), password, error)) {
            printError(error);
            return false;
        }
        break;
    }
    params.insert(QStringLiteral("passwd"), password);
    return true;
}

QString account(const QJsonObject &fields)
{
    return fields.value(QStringLiteral("userid")).toString() + QLatin1Char('@')
           + fields.value(QStringLiteral("host")).toString();
}

} // namespace

int runAdd(const CtlOptions &options)
{
    MissionForm form;
    QString error;
    if (!parseMissionForm(QStringLiteral("add"), options.args, form, error)) {
        printError(error);
        return ExitUsage;
    }
    form.json = form.json || options.raw;
    QJsonObject params = appendParams(form);
    if (isRemoteKind(form.action) && !takePassword(form, account(params), true, params))
        return ExitUsage;
    QJsonObject answer;
    // A restore replaces its dataset: at the command line only when asked to.
    if (form.action == 4 && !form.replace) {
        const QString pool = params.value(QStringLiteral("pool")).toString();
        const QString name = params.value(QStringLiteral("name")).toString();
        const QJsonObject listing{{"cmd", "zfsrep_alload"}};
        if (const int status = call(options, listing, answer, QStringLiteral("add"), form.json, 0, QString()); status >= 0)
            return status;
        if (restoreTargetExists(answer.value(QStringLiteral("results")).toObject(), pool, name)) {
            printError(QStringLiteral("add: %1/%2 exists and a restore would replace it; give --replace to allow that")
                           .arg(pool, name));
            return ExitFailed;
        }
    }
    const QJsonObject request{{"cmd", "zfsrep_mission_append"}, {"params", params}};
    const QString caption = params.value(QStringLiteral("caption")).toString();
    const int status =
        call(options, request, answer, QStringLiteral("add \"%1\"").arg(caption), form.json, 0, caption);
    if (status >= 0)
        return status;
    if (form.json) {
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
        return ExitSucceeded;
    }
    // The append answers the new number; an older service does not, and
    // then the listing tells it.
    QString msnno;
    if (const int appended = toInt(answer.value("results").toObject().value(QStringLiteral("msnno"))); appended > 0)
        msnno = QString::number(appended);
    QJsonObject listing;
    if (msnno.isEmpty()
        && serviceRequest(options.socket, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, &listing, options.timeout,
                          &error)) {
        for (const QJsonValue &value : listing.value("results").toObject().value("records").toArray()) {
            const QJsonObject m = value.toObject();
            if (m.value(QStringLiteral("caption")).toString().compare(caption, Qt::CaseInsensitive) == 0)
                msnno = QString::number(toInt(m.value(QStringLiteral("msnno"))));
        }
    }
    const QString line = msnno.isEmpty() ? QStringLiteral("mission \"%1\" added\n").arg(caption)
                                         : QStringLiteral("mission %1 added (%2)\n").arg(msnno, caption);
    SafeOutput::printText(line);
    return ExitSucceeded;
}

int runEdit(const CtlOptions &options)
{
    MissionForm form;
    QString error;
    if (!parseMissionForm(QStringLiteral("edit"), options.args, form, error)) {
        printError(error);
        return ExitUsage;
    }
    form.json = form.json || options.raw;
    const QString what = QStringLiteral("edit mission %1").arg(form.msnno);
    QJsonObject stored;
    if (const int status = findMission(options, form.msnno, what, stored); status >= 0)
        return status;
    QJsonObject params;
    if (!changeParams(stored, form, params, error)) {
        printError(error);
        return ExitUsage;
    }
    if (!takePassword(form, account(params), false, params))
        return ExitUsage;
    QJsonObject answer;
    const int status =
        call(options, QJsonObject{{"cmd", "zfsrep_mission_change"}, {"params", params}}, answer, what, form.json,
             form.msnno);
    if (status >= 0)
        return status;
    if (form.json)
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
    else
        std::printf("mission %d changed\n", form.msnno);
    return ExitSucceeded;
}

int runShow(const CtlOptions &options)
{
    int msnno = 0;
    bool json = false;
    for (const QString &arg : options.args) {
        bool ok = false;
        if (arg == QLatin1String("--json")) {
            json = true;
        } else if (msnno == 0 && (msnno = arg.toInt(&ok), ok) && msnno > 0) {
            continue;
        } else {
            printError(QStringLiteral("show: unexpected argument \"%1\"").arg(arg));
            return ExitUsage;
        }
    }
    if (msnno <= 0) {
        printError(QStringLiteral("show needs a mission number (msnno)"));
        return ExitUsage;
    }
    QJsonObject mission;
    if (const int status = findMission(options, msnno, QStringLiteral("show"), mission); status >= 0)
        return status;
    if (json || options.raw) {
        SafeOutput::printAnswer(mission, QJsonDocument::Indented, options.raw);
        return ExitSucceeded;
    }
    // An export names the file its newest run wrote (the run history has it).
    if (toInt(mission.value(QStringLiteral("action"))) == 3) {
        QJsonObject runs;
        QString error;
        const QJsonObject request{{"cmd", "zfsrep_mission_history"},
                                  {"params", QJsonObject{{"msnno", msnno}, {"limit", kFileHistoryWindow}}}};
        if (serviceRequest(options.socket, request, &runs, options.timeout, &error)
            && toInt(runs.value(QStringLiteral("err")), -1) == 0)
            mission.insert(QStringLiteral("lastfile"), newestFile(runs.value(QStringLiteral("results")).toArray()));
    }
    SafeOutput::printText(renderMissionDetail(mission));
    return ExitSucceeded;
}
