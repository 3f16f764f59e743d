#include "configsections.h"

#include <QJsonArray>
#include <QUrl>

#include <cmath>

namespace {

constexpr int kLongestTimeoutSeconds = 86400;

bool isAbsent(const QJsonValue &value) { return value.isUndefined() || value.isNull(); }

bool fail(QString &error, const QString &key, const QString &fault)
{
    error = key + QStringLiteral(": ") + fault;
    return false;
}

bool hasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// A command as the service runs it: no shell, so a list of words whose first
// is the program's absolute path.
bool argumentList(const QJsonValue &value, const QString &key, QStringList &arguments, QString &error)
{
    if (!value.isArray())
        return fail(error, key, QStringLiteral("not a list of strings"));
    const QJsonArray words = value.toArray();
    if (words.isEmpty())
        return fail(error, key, QStringLiteral("an empty list"));
    arguments.clear();
    for (int i = 0; i < words.size(); ++i) {
        if (!words.at(i).isString())
            return fail(error, key, QStringLiteral("not a list of strings (item %1)").arg(i));
        const QString word = words.at(i).toString();
        if (word.contains(QChar(0)) || hasControl(word))
            return fail(error, key, QStringLiteral("item %1 holds control characters").arg(i));
        arguments.append(word);
    }
    if (!arguments.first().startsWith(QLatin1Char('/')))
        return fail(error, key + QStringLiteral("[0]"), QStringLiteral("not an absolute program path"));
    return true;
}

bool onlyKeys(const QJsonObject &object, const QStringList &known, const QString &key, QString &error)
{
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key()))
            return fail(error, key + QLatin1Char('.') + it.key(), QStringLiteral("unknown key"));
    }
    return true;
}

} // namespace

namespace ConfigSections {

bool notify(const QJsonObject &config, NoticeSettings &settings, QString &error)
{
    settings = NoticeSettings();
    const QJsonValue value = config.value(QStringLiteral("notify"));
    if (isAbsent(value))
        return true;
    if (!value.isObject())
        return fail(error, QStringLiteral("notify"), QStringLiteral("not an object"));
    const QJsonObject notify = value.toObject();
    if (!onlyKeys(notify, {QStringLiteral("command"), QStringLiteral("url"), QStringLiteral("on")},
                  QStringLiteral("notify"), error))
        return false;
    NoticeSettings read;
    const QJsonValue command = notify.value(QStringLiteral("command"));
    if (!isAbsent(command) && !argumentList(command, QStringLiteral("notify.command"), read.command, error))
        return false;
    const QJsonValue url = notify.value(QStringLiteral("url"));
    if (!isAbsent(url)) {
        const QUrl parsed(url.toString(), QUrl::StrictMode);
        const QString scheme = parsed.scheme().toLower();
        if (!url.isString() || !parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            || parsed.host().isEmpty())
            return fail(error, QStringLiteral("notify.url"), QStringLiteral("not an http or https URL"));
        read.url = url.toString();
    }
    if (read.command.isEmpty() && read.url.isEmpty())
        return fail(error, QStringLiteral("notify"), QStringLiteral("names neither a command nor a url"));
    const QJsonValue on = notify.value(QStringLiteral("on"));
    if (isAbsent(on)) {
        read.on = QStringList{QStringLiteral("failure"), QStringLiteral("recovery"), QStringLiteral("stale")};
    } else {
        if (!on.isArray())
            return fail(error, QStringLiteral("notify.on"), QStringLiteral("not a list"));
        for (const QJsonValue &word : on.toArray()) {
            if (!word.isString() || !NoticeSettings::kinds().contains(word.toString()))
                return fail(error, QStringLiteral("notify.on"),
                            QStringLiteral("unknown word %1 (failure, recovery, success or stale)")
                                .arg(word.isString() ? QLatin1Char('"') + word.toString().left(40) + QLatin1Char('"')
                                                     : QStringLiteral("(not a string)")));
            if (!read.on.contains(word.toString()))
                read.on.append(word.toString());
        }
    }
    settings = read;
    return true;
}

bool hooks(const QJsonObject &config, QMap<QString, HookDefinition> &hooks, QString &error)
{
    hooks.clear();
    const QJsonValue value = config.value(QStringLiteral("hooks"));
    if (isAbsent(value))
        return true;
    if (!value.isObject())
        return fail(error, QStringLiteral("hooks"), QStringLiteral("not an object"));
    const QJsonObject entries = value.toObject();
    QMap<QString, HookDefinition> read;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const QString key = QStringLiteral("hooks.") + it.key();
        if (it.key().trimmed().isEmpty() || it.key() != it.key().trimmed() || hasControl(it.key()))
            return fail(error, key, QStringLiteral("not a usable hook name"));
        if (!it.value().isObject())
            return fail(error, key, QStringLiteral("not an object"));
        const QJsonObject entry = it.value().toObject();
        if (!onlyKeys(entry, {QStringLiteral("pre"), QStringLiteral("post"), QStringLiteral("timeout"), QStringLiteral("fatal")},
                      key, error))
            return false;
        HookDefinition hook;
        hook.name = it.key();
        const QJsonValue pre = entry.value(QStringLiteral("pre"));
        const QJsonValue post = entry.value(QStringLiteral("post"));
        if (!isAbsent(pre) && !argumentList(pre, key + QStringLiteral(".pre"), hook.pre, error))
            return false;
        if (!isAbsent(post) && !argumentList(post, key + QStringLiteral(".post"), hook.post, error))
            return false;
        if (hook.pre.isEmpty() && hook.post.isEmpty())
            return fail(error, key, QStringLiteral("names neither pre nor post"));
        const QJsonValue timeout = entry.value(QStringLiteral("timeout"));
        if (!isAbsent(timeout)) {
            const double seconds = timeout.toDouble(-1);
            if (!timeout.isDouble() || std::floor(seconds) != seconds || seconds < 1 || seconds > kLongestTimeoutSeconds)
                return fail(error, key + QStringLiteral(".timeout"),
                            QStringLiteral("not a whole number of seconds from 1 to %1").arg(kLongestTimeoutSeconds));
            hook.timeoutSeconds = int(seconds);
        }
        const QJsonValue fatal = entry.value(QStringLiteral("fatal"));
        if (!isAbsent(fatal)) {
            if (!fatal.isBool())
                return fail(error, key + QStringLiteral(".fatal"), QStringLiteral("not true or false"));
            hook.fatal = fatal.toBool();
        }
        read.insert(hook.name, hook);
    }
    hooks = read;
    return true;
}

} // namespace ConfigSections
