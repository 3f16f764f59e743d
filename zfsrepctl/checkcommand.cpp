#include "checkcommand.h"

#include "errortext.h"
#include "safeoutput.h"
#include "serviceclient.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonDocument>

bool parseCheckArgs(const QStringList &args, int &msnno, bool &json, QString &error)
{
    msnno = 0;
    json = false;
    for (const QString &arg : args) {
        bool ok = false;
        if (arg == QLatin1String("--json")) {
            json = true;
        } else if (msnno == 0 && (msnno = arg.toInt(&ok), ok) && msnno > 0) {
            continue;
        } else {
            error = QStringLiteral("check: unexpected argument \"%1\"").arg(arg);
            return false;
        }
    }
    if (msnno <= 0) {
        error = QStringLiteral("check needs a mission number (msnno)");
        return false;
    }
    return true;
}

QString renderChecks(const QJsonObject &results)
{
    const QJsonArray checks = results.value(QStringLiteral("checks")).toArray();
    int width = 0;
    for (const QJsonValue &value : checks)
        width = qMax(width, value.toObject().value(QStringLiteral("check")).toString().size());
    QString out;
    for (const QJsonValue &value : checks) {
        const QJsonObject line = value.toObject();
        const QString text = line.value(QStringLiteral("text")).toString().split(QLatin1Char('\n')).join(QStringLiteral(" / "));
        out += QStringLiteral("%1  %2  %3\n")
                   .arg(toBool(line.value(QStringLiteral("ok"))) ? QStringLiteral("ok  ") : QStringLiteral("FAIL"))
                   .arg(line.value(QStringLiteral("check")).toString(), -width)
                   .arg(text.trimmed());
    }
    return out;
}

int runCheck(const CtlOptions &options)
{
    int msnno = 0;
    bool json = false;
    QString error;
    if (!parseCheckArgs(options.args, msnno, json, error)) {
        SafeOutput::printError(error);
        return ExitUsage;
    }
    json = json || options.raw;
    const QJsonObject request{{"cmd", "zfsrep_mission_check"}, {"params", QJsonObject{{"msnno", msnno}}}};
    QJsonObject answer;
    if (!serviceRequest(options.socket, request, &answer, options.timeout, &error)) {
        SafeOutput::printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const bool answered = toInt(answer.value(QStringLiteral("err")), -1) == 0;
    const QJsonObject results = answer.value(QStringLiteral("results")).toObject();
    const bool passed = answered && toBool(results.value(QStringLiteral("ok")));
    if (json) {
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
        return passed ? ExitSucceeded : ExitFailed;
    }
    if (!answered) {
        SafeOutput::printError(refusalLine(answer,
                                           RefusalContext{QStringLiteral("check mission %1").arg(msnno),
                                                          QStringLiteral("check"),
                                                          QStringLiteral("zfsrep_mission_check"), msnno, QString()},
                                           false));
        return ExitFailed;
    }
    SafeOutput::printText(renderChecks(results));
    return passed ? ExitSucceeded : ExitFailed;
}
