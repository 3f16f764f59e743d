#include "hostkeycommand.h"

#include "errortext.h"
#include "safeoutput.h"
#include "serviceclient.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void printError(const QString &message) { SafeOutput::printError(message); }

} // namespace

bool parseHostKeyArgs(const QStringList &args, HostKeyArgs &out, QString &error)
{
    out = HostKeyArgs();
    QStringList words;
    for (const QString &arg : args) {
        if (arg == QLatin1String("--json"))
            out.json = true;
        else
            words.append(arg);
    }
    if (words.isEmpty() || words.first() != QLatin1String("forget")) {
        error = QStringLiteral("hostkey: expected \"forget HOST [PORT]\"");
        return false;
    }
    if (words.size() < 2 || words.size() > 3) {
        error = QStringLiteral("hostkey forget needs a HOST and at most a PORT");
        return false;
    }
    out.host = words.at(1);
    if (out.host.isEmpty() || out.host.startsWith(QLatin1Char('-'))) {
        error = QStringLiteral("hostkey forget: invalid host \"%1\"").arg(out.host);
        return false;
    }
    if (words.size() == 3) {
        bool ok = false;
        out.port = words.at(2).toInt(&ok);
        if (!ok || out.port < 1 || out.port > 65535) {
            error = QStringLiteral("hostkey forget: invalid port \"%1\"").arg(words.at(2));
            return false;
        }
    }
    return true;
}

QJsonObject hostKeyRequest(const HostKeyArgs &args)
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("zfsrep_hostkey_forget")},
                       {QStringLiteral("params"), QJsonObject{{QStringLiteral("host"), args.host},
                                                               {QStringLiteral("port"), args.port}}}};
}

int runHostKey(const CtlOptions &options)
{
    HostKeyArgs args;
    QString error;
    if (!parseHostKeyArgs(options.args, args, error)) {
        printError(error);
        return ExitUsage;
    }
    QJsonObject answer;
    if (!serviceRequest(options.socket, hostKeyRequest(args), &answer, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    const QJsonValue err = answer.value(QStringLiteral("err"));
    const bool succeeded = err.isDouble() && err.toDouble() == 0;
    if (args.json || options.raw) {
        SafeOutput::printAnswer(answer, QJsonDocument::Indented, options.raw);
        return succeeded ? ExitSucceeded : ExitFailed;
    }
    if (!succeeded) {
        printError(refusalLine(answer,
                               RefusalContext{QStringLiteral("hostkey forget %1").arg(args.host),
                                              QStringLiteral("hostkey"), QStringLiteral("zfsrep_hostkey_forget"), 0,
                                              QString()},
                               options.raw));
        return ExitFailed;
    }
    const bool found = answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("found")).toBool();
    const QString where = QStringLiteral("%1 port %2").arg(args.host).arg(args.port);
    const QString text = found ? QStringLiteral("forgot the host key of %1; the next connection records its new key\n").arg(where)
                               : QStringLiteral("no host key was recorded for %1\n").arg(where);
    SafeOutput::printText(text);
    return ExitSucceeded;
}
