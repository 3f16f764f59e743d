#include "missionform.h"

#include "fieldtext.h"
#include "missionkinds.h"
#include "scheduletext.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <climits>

namespace {

// The stored fields a change sends back; the rest of a listed mission
// (state, run times, progress) is the service's own.
const char *const kChangeKeys[] = {"msnno",  "caption",  "action", "pool",  "name",      "path",
                                   "host",   "port",     "userid", "passwd", "snapname", "increment",
                                   "erase",  "encrypt",  "encryptkey", "schedules", "ratelimit"};

// Flags that set a field to true or false.
struct Switch {
    const char *on;
    const char *off;
    const char *key;
};
const Switch kSwitches[] = {
    {"--erase", "--no-erase", "erase"},
    {"--increment", "--no-increment", "increment"},
    {"--encrypt", "--no-encrypt", "encrypt"},
    {"--encrypt-key", "--no-encrypt-key", "encryptkey"},
};

// Flags that take a value.
const char *const kValueFlags[] = {"--caption", "--send", "--to", "--pull", "--into", "--export", "--dir",
                                   "--restore", "--mirror", "--user", "--port", "--series", "--ratelimit", "--schedule",
                                   "--password-fd", "--keep-source", "--keep-target", "--carry", "--hook"};

bool absolutePath(const QString &text, QString &why)
{
    if (!text.startsWith(QLatin1Char('/'))) {
        why = QStringLiteral("'%1' is not an absolute path").arg(text);
        return false;
    }
    return true;
}

// One value flag; false with `why` (the caller prefixes the flag).
bool takeValue(const QString &flag, const QString &value, MissionForm &form, QJsonArray &schedules, QString &why)
{
    QJsonObject &f = form.fields;
    auto kind = [&](int action) {
        if (form.action != 0 && form.action != action) {
            why = QStringLiteral("only one of %1 may be given").arg(MissionKinds::kindFlagList());
            return false;
        }
        form.action = action;
        return true;
    };
    if (flag == QLatin1String("--caption")) {
        if (value.trimmed().isEmpty())
            return why = QStringLiteral("needs a non-empty text"), false;
        f.insert(QStringLiteral("caption"), value);
    } else if (flag == QLatin1String("--send")) {
        return kind(1) && parseDatasetText(value, f, why);
    } else if (flag == QLatin1String("--pull")) {
        return kind(2) && parseRemoteText(value, f, why);
    } else if (flag == QLatin1String("--mirror")) {
        // The remote dataset a backup host pulls from, whole.
        if (!kind(5) || !parseRemoteText(value, f, why))
            return false;
        if (f.value(QStringLiteral("path")).toString().contains(QLatin1Char('@')))
            return why = QStringLiteral("a mirror pulls a dataset, not a snapshot"), false;
    } else if (flag == QLatin1String("--export")) {
        return kind(3) && parseDatasetText(value, f, why);
    } else if (flag == QLatin1String("--restore")) {
        if (!kind(4) || !absolutePath(value, why))
            return false;
        f.insert(QStringLiteral("path"), value);
    } else if (flag == QLatin1String("--to")) {
        return parseRemoteText(value, f, why);
    } else if (flag == QLatin1String("--into")) {
        return parseDatasetText(value, f, why);
    } else if (flag == QLatin1String("--dir")) {
        if (!absolutePath(value, why))
            return false;
        f.insert(QStringLiteral("path"), value);
    } else if (flag == QLatin1String("--user")) {
        if (value.isEmpty() || value.startsWith(QLatin1Char('-')) || value.contains(QRegularExpression("\\s")))
            return why = QStringLiteral("'%1' is not a user name").arg(value), false;
        f.insert(QStringLiteral("userid"), value);
    } else if (flag == QLatin1String("--port")) {
        bool ok = false;
        const int port = value.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return why = QStringLiteral("'%1' is not 1-65535").arg(value), false;
        f.insert(QStringLiteral("port"), port);
    } else if (flag == QLatin1String("--series")) {
        if (!value.contains(QRegularExpression(QStringLiteral("^[A-Za-z0-9_.:-]+$"))))
            return why = QStringLiteral("'%1' is not a snapshot series name (letters, digits, _ . : -)").arg(value),
                   false;
        f.insert(QStringLiteral("snapname"), value);
    } else if (flag == QLatin1String("--ratelimit")) {
        qint64 rate = 0;
        if (!parseRate(value, rate, why))
            return false;
        f.insert(QStringLiteral("ratelimit"), rate);
    } else if (flag == QLatin1String("--hook")) {
        // A name of the service's configured hooks; empty: none. The
        // service says whether it knows the name.
        if (value.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]"))))
            return why = QStringLiteral("a hook name holds no control characters"), false;
        f.insert(QStringLiteral("hook"), value.trimmed());
    } else if (flag == QLatin1String("--keep-source") || flag == QLatin1String("--keep-target")) {
        // The service reads the rule and names a faulty part; "none" or an
        // empty text removes it.
        const QString rule = value.trimmed() == QLatin1String("none") ? QString() : value.trimmed();
        if (rule.contains(QRegularExpression(QStringLiteral("[^0-9a-z, ]"))))
            return why = QStringLiteral("'%1' is not a retention rule (e.g. 10,1h24h,1d30d,1w12w,1m1y)").arg(value),
                   false;
        f.insert(flag == QLatin1String("--keep-source") ? QStringLiteral("keepsource") : QStringLiteral("keeptarget"),
                 rule);
    } else if (flag == QLatin1String("--carry")) {
        if (value != QLatin1String("all") && value != QLatin1String("series"))
            return why = QStringLiteral("'%1' is not all or series").arg(value), false;
        f.insert(QStringLiteral("carry"), value);
    } else if (flag == QLatin1String("--schedule")) {
        QJsonObject schedule;
        if (!parseScheduleText(value, schedule, why))
            return false;
        schedules.append(schedule);
    } else if (flag == QLatin1String("--password-fd")) {
        bool ok = false;
        form.passwordFd = value.toInt(&ok);
        if (!ok || form.passwordFd < 0 || form.passwordFd > INT_MAX - 1)
            return why = QStringLiteral("'%1' is not a file descriptor number").arg(value), false;
        form.password = PasswordSource::Fd;
    }
    return true;
}

bool isValueFlag(const QString &word)
{
    for (const char *flag : kValueFlags) {
        if (word == QLatin1String(flag))
            return true;
    }
    return false;
}

} // namespace

bool parseMissionForm(const QString &command, const QStringList &args, MissionForm &form, QString &error)
{
    const bool edit = command == QLatin1String("edit");
    QJsonArray schedules;
    bool once = false;
    bool haveSchedules = false;
    for (int i = 0; i < args.size(); ++i) {
        QString word = args.at(i);
        QString value;
        bool hasValue = false;
        const int eq = word.indexOf(QLatin1Char('='));
        if (word.startsWith(QLatin1String("--")) && eq > 0 && isValueFlag(word.left(eq))) {
            value = word.mid(eq + 1);
            word = word.left(eq);
            hasValue = true;
        }
        if (edit && form.msnno == 0 && !word.startsWith(QLatin1Char('-'))) {
            bool ok = false;
            form.msnno = word.toInt(&ok);
            if (!ok || form.msnno <= 0) {
                error = QStringLiteral("edit: the mission number must be a positive whole number, not \"%1\"").arg(word);
                return false;
            }
            continue;
        }
        if (isValueFlag(word)) {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    error = QStringLiteral("%1 needs a value").arg(word);
                    return false;
                }
                value = args.at(++i);
            }
            QString why;
            if (!takeValue(word, value, form, schedules, why)) {
                error = word + QStringLiteral(": ") + why;
                return false;
            }
            haveSchedules = haveSchedules || word == QLatin1String("--schedule");
            form.given.append(word);
            continue;
        }
        bool matched = false;
        for (const Switch &s : kSwitches) {
            if (word == QLatin1String(s.on) || word == QLatin1String(s.off)) {
                form.fields.insert(QLatin1String(s.key), word == QLatin1String(s.on));
                matched = true;
            }
        }
        if (word == QLatin1String("--once")) {
            once = true;
        } else if (word == QLatin1String("--json")) {
            form.json = true;
        } else if (word == QLatin1String("--replace") && !edit) {
            form.replace = true;
        } else if (word == QLatin1String("--ask-password")) {
            form.password = PasswordSource::Prompt;
        } else if (word == QLatin1String("--no-password")) {
            form.password = PasswordSource::Empty;
        } else if (!matched) {
            error = QStringLiteral("%1: unknown argument \"%2\"").arg(command, word);
            return false;
        }
        form.given.append(word);
    }
    const int sources = form.given.count(QStringLiteral("--password-fd")) + form.given.count(QStringLiteral("--ask-password"))
                        + form.given.count(QStringLiteral("--no-password"));
    if (sources > 1) {
        error = QStringLiteral("--password-fd, --ask-password and --no-password exclude each other");
        return false;
    }
    if (once && haveSchedules) {
        error = QStringLiteral("--once: a mission with --schedule runs on its schedule, not once");
        return false;
    }
    if (once || haveSchedules)
        form.fields.insert(QStringLiteral("schedules"), schedules);
    if (edit) {
        if (form.msnno == 0) {
            error = QStringLiteral("edit needs a mission number (msnno)");
            return false;
        }
        if (form.fields.contains(QStringLiteral("caption"))) {
            error = QStringLiteral("--caption: the service keeps a mission's caption; add a new mission instead");
            return false;
        }
        return true;
    }
    if (!form.fields.contains(QStringLiteral("caption"))) {
        error = QStringLiteral("add needs --caption TEXT");
        return false;
    }
    if (form.action == 0) {
        error = QStringLiteral("add needs one of %1").arg(MissionKinds::kindFlagList());
        return false;
    }
    if (form.replace && form.action != 4) {
        error = QStringLiteral("--replace belongs to --restore");
        return false;
    }
    if (!form.given.contains(MissionKinds::companionFlag(form.action))) {
        error = QStringLiteral("%1 needs %2").arg(MissionKinds::kindFlag(form.action),
                                                  MissionKinds::companionFlag(form.action));
        return false;
    }
    if (isRemoteKind(form.action) && !form.fields.contains(QStringLiteral("userid"))) {
        // The flag that names the host.
        error = QStringLiteral("%1: no remote user; give USER@HOST or --user NAME")
                    .arg(form.action == 1 ? QStringLiteral("--to") : MissionKinds::kindFlag(form.action));
        return false;
    }
    return MissionKinds::flagsFit(form.given, form.action, error);
}

QJsonObject appendParams(const MissionForm &form)
{
    QJsonObject params = form.fields;
    params.insert(QStringLiteral("action"), form.action);
    return params;
}

bool changeParams(const QJsonObject &stored, const MissionForm &form, QJsonObject &params, QString &error)
{
    const int action = stored.value(QStringLiteral("action")).toVariant().toInt();
    if (form.action != 0 && form.action != action) {
        error = QStringLiteral("%1: mission %2 is of kind %3; its kind cannot change")
                    .arg(MissionKinds::kindFlag(form.action))
                    .arg(form.msnno)
                    .arg(MissionKinds::word(action));
        return false;
    }
    if (!MissionKinds::flagsFit(form.given, action, error))
        return false;
    params = QJsonObject();
    for (const char *key : kChangeKeys) {
        if (stored.contains(QLatin1String(key)))
            params.insert(QLatin1String(key), stored.value(QLatin1String(key)));
    }
    for (auto it = form.fields.begin(); it != form.fields.end(); ++it)
        params.insert(it.key(), it.value());
    params.insert(QStringLiteral("msnno"), form.msnno);
    return true;
}

bool restoreTargetExists(const QJsonObject &pools, const QString &pool, const QString &name)
{
    return pools.value(pool).toObject().value(QStringLiteral("items")).toObject().contains(name);
}
