#include "ctloptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

const char *const kDefaultSocket = "/tarn/run/zfsrep.sock";

namespace {

// "--name value" or "--name=value"; advances `i` past what it used.
bool takeValue(const QStringList &arguments, int &i, const QString &name, QString &value, bool &matched)
{
    const QString word = arguments.at(i);
    matched = false;
    if (word == name) {
        matched = true;
        if (i + 1 >= arguments.size())
            return false;
        value = arguments.at(++i);
        return true;
    }
    if (word.startsWith(name + QLatin1Char('='))) {
        matched = true;
        value = word.mid(name.size() + 1);
        return true;
    }
    return true;
}

} // namespace

bool parseOptions(const QStringList &arguments, CtlOptions &options, QString &error)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString word = arguments.at(i);
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            options.help = true;
            continue;
        }
        if (word == QLatin1String("--version")) {
            options.version = true;
            continue;
        }
        if (word == QLatin1String("--raw")) {
            options.raw = true;
            continue;
        }
        QString value;
        bool matched = false;
        if (!takeValue(arguments, i, QStringLiteral("--socket"), value, matched)) {
            error = QStringLiteral("--socket needs a socket name or path");
            return false;
        }
        if (matched) {
            if (value.isEmpty()) {
                error = QStringLiteral("--socket needs a socket name or path");
                return false;
            }
            options.socket = value;
            continue;
        }
        if (!takeValue(arguments, i, QStringLiteral("--timeout"), value, matched)) {
            error = QStringLiteral("--timeout needs a number of seconds");
            return false;
        }
        if (matched) {
            bool ok = false;
            options.timeout = value.toInt(&ok);
            if (!ok || options.timeout <= 0) {
                error = QStringLiteral("--timeout needs a positive number of seconds, not \"%1\"").arg(value);
                return false;
            }
            continue;
        }
        if (options.command.isEmpty() && !word.startsWith(QLatin1String("--")))
            options.command = word;
        else
            options.args.append(word);
    }
    if (options.command.isEmpty() && !options.help && !options.version) {
        error = QStringLiteral("no command given");
        return false;
    }
    return true;
}

QJsonValue parseWordValue(const QString &text)
{
    // Wrapped in an array so that scalars parse too.
    QJsonParseError parseError;
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &parseError);
    if (parseError.error == QJsonParseError::NoError && doc.array().size() == 1)
        return doc.array().first();
    return text;
}

bool buildRequest(const QString &command, const QStringList &args, QJsonObject &request, QString &error)
{
    QJsonObject params;
    QJsonObject words;
    for (int i = 0; i < args.size(); ++i) {
        const QString word = args.at(i);
        QString json;
        if (word == QLatin1String("--json")) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("--json needs a JSON object");
                return false;
            }
            json = args.at(++i);
        } else if (word.startsWith(QLatin1String("--json="))) {
            json = word.mid(7);
        } else {
            const int eq = word.indexOf(QLatin1Char('='));
            if (eq <= 0) {
                error = QStringLiteral("\"%1\" is not key=value").arg(word);
                return false;
            }
            words.insert(word.left(eq), parseWordValue(word.mid(eq + 1)));
            continue;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &parseError);
        if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
            error = QStringLiteral("--json needs a JSON object: %1").arg(json);
            return false;
        }
        const QJsonObject object = doc.object();
        for (auto it = object.begin(); it != object.end(); ++it)
            params.insert(it.key(), it.value());
    }
    for (auto it = words.begin(); it != words.end(); ++it)
        params.insert(it.key(), it.value());
    request = QJsonObject{{QStringLiteral("cmd"), command}};
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    return true;
}
