#include "missionvalidator.h"

#include "hookdefinition.h"
#include "missionnames.h"
#include "retentionkeys.h"
#include "sshlogin.h"
#include "zfscommands.h"

#include <QJsonDocument>
#include <QStringList>

#include <cmath>
#include <optional>

namespace {

const QString kInvalid = QStringLiteral("参数无效: ");
const QString kMissing = QStringLiteral("缺少参数: ");
const QString kNotList = QStringLiteral("不是列表");
const QString kNotObject = QStringLiteral("不是对象");
const QString kUnknownKey = QStringLiteral("未知的键");
const QString kControl = QStringLiteral("含有控制字符");
const QString kNotAbsolute = QStringLiteral("不是绝对路径");
const QString kLeadingDash = QStringLiteral("以 - 开头");
constexpr int kShownLength = 40;

struct Range {
    const char *key;
    int low;
    int high;
};
const Range kRanges[] = {{"weeks", 1, 7}, {"months", 1, 12}, {"days", 1, 31}, {"hours", 0, 23}, {"minutes", 0, 59}};

QString invalid(const QString &parameter, const QString &reason) { return kInvalid + parameter + QStringLiteral(": ") + reason; }

bool isAbsent(const QJsonValue &value) { return value.isUndefined() || value.isNull(); }

bool hasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// A value as a message may show it: scalars as text, control characters as
// "?", cut after kShownLength characters.
QString shown(const QJsonValue &value)
{
    QString text;
    switch (value.type()) {
    case QJsonValue::String: text = value.toString(); break;
    case QJsonValue::Bool: text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false"); break;
    case QJsonValue::Null: text = QStringLiteral("null"); break;
    case QJsonValue::Array: return kNotList;
    case QJsonValue::Object: return QStringLiteral("{...}");
    case QJsonValue::Double: {
        const double d = value.toDouble();
        text = (std::floor(d) == d && std::fabs(d) < 1e18) ? QString::number(qint64(d)) : QString::number(d, 'g', 17);
        break;
    }
    default: break;
    }
    if (text.size() > kShownLength)
        text = text.left(kShownLength) + QStringLiteral("...");
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

// A whole number given as a JSON number or as decimal text (the appliance
// sends numbers either way); nothing for fractions, words, hex or other kinds.
std::optional<qint64> wholeNumber(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::isfinite(d) && std::floor(d) == d && std::fabs(d) <= 9007199254740992.0)
            return qint64(d);
        return std::nullopt;
    }
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const qint64 n = text.size() <= 18 ? text.toLongLong(&ok, 10) : 0;
        if (ok)
            return n;
    }
    return std::nullopt;
}

QString text(const QJsonObject &fields, const char *key) { return fields.value(QLatin1String(key)).toString(); }

// Whether a schedule whose values are all in range can ever fall due: some
// date of its "days" exists in some month of its "months" in some year (31
// February, 30 February and 31 April, June, September, November never
// come; 29 February does). Empty lists mean every value.
bool canFallDue(const QJsonObject &schedule)
{
    static const int longest[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const QJsonArray days = schedule.value(QStringLiteral("days")).toArray();
    const QJsonArray months = schedule.value(QStringLiteral("months")).toArray();
    if (days.isEmpty() || months.isEmpty())
        return true;
    qint64 earliest = 31;
    for (const QJsonValue &day : days)
        earliest = qMin(earliest, wholeNumber(day).value_or(31));
    for (const QJsonValue &month : months) {
        const qint64 m = wholeNumber(month).value_or(0);
        if (m >= 1 && m <= 12 && earliest <= longest[m - 1])
            return true;
    }
    return false;
}

// "30,31 (months 2)": the dates and months of a schedule that never falls due.
QString neverDue(const QJsonObject &schedule)
{
    QStringList days;
    for (const QJsonValue &day : schedule.value(QStringLiteral("days")).toArray())
        days << shown(day);
    QStringList months;
    for (const QJsonValue &month : schedule.value(QStringLiteral("months")).toArray())
        months << shown(month);
    return QStringLiteral("%1 (months %2)").arg(days.join(QLatin1Char(',')), months.join(QLatin1Char(',')));
}

// The rules shared by requests and stored rows; `schedules` is the list
// itself (a stored row keeps it as text, parsed by the caller).
QString check(const QJsonObject &fields, const QJsonValue &schedules)
{
    const QJsonValue actionValue = fields.value(QStringLiteral("action"));
    if (isAbsent(actionValue))
        return kMissing + QStringLiteral("action");
    const std::optional<qint64> action = wholeNumber(actionValue);
    if (!action || *action < 1 || *action > 5)
        return invalid(QStringLiteral("action"), shown(actionValue));

    for (const char *key : {"caption", "pool", "name", "path", "host", "userid", "snapname"}) {
        if (hasControl(text(fields, key)))
            return invalid(QLatin1String(key), kControl);
    }
    for (const char *key : {"caption", "pool", "name", "path", "host", "userid", "passwd", "snapname"}) {
        const int most = MissionValidator::longestText(QLatin1String(key));
        if (text(fields, key).size() > most)
            return invalid(QLatin1String(key), QStringLiteral("超过 %1 个字符").arg(most));
    }
    // These reach zfs and the shell as arguments of their own: a value that
    // starts with "-" would be read as an option.
    for (const char *key : {"pool", "name", "path", "snapname"}) {
        if (text(fields, key).trimmed().startsWith(QLatin1Char('-')))
            return invalid(QLatin1String(key), kLeadingDash);
    }
    // Names are names: no component of the local pool and dataset, nor of
    // an export or restore path, is empty, "." or ".." (a name that climbs
    // out of the export directory or the pool). A restore's name may be
    // left empty: it is then taken from the file's name, and checked there.
    {
        const QString pool = text(fields, "pool").trimmed();
        const QString name = text(fields, "name").trimmed();
        QString reason;
        if (!pool.isEmpty() && !(reason = MissionNames::datasetProblem(pool)).isEmpty())
            return invalid(QStringLiteral("pool"), reason);
        if (!name.isEmpty() && !(reason = MissionNames::datasetProblem(name)).isEmpty())
            return invalid(QStringLiteral("name"), reason);
        const QString path = text(fields, "path").trimmed();
        if ((*action == 3 || *action == 4) && path.startsWith(QLatin1Char('/'))
            && !(reason = MissionNames::pathProblem(path, *action == 3)).isEmpty())
            return invalid(QStringLiteral("path"), reason);
    }
    QString bad = MissionValidator::schedules(schedules);
    if (bad.isEmpty())
        bad = MissionValidator::port(fields.value(QStringLiteral("port")));
    if (bad.isEmpty())
        bad = MissionValidator::rateLimit(fields.value(QStringLiteral("ratelimit")));
    if (bad.isEmpty())
        bad = RetentionKeys::problem(fields);
    if (bad.isEmpty())
        bad = MissionValidator::hook(fields.value(QStringLiteral("hook")), int(*action));
    if (!bad.isEmpty())
        return bad;

    if (*action == 5) {
        // A mirror's path is the remote dataset it pulls from, whole: a
        // dataset name, not a snapshot.
        const QString path = text(fields, "path").trimmed();
        QString reason;
        if (path.isEmpty())
            return kMissing + QStringLiteral("path");
        if (!(reason = MissionNames::datasetProblem(path)).isEmpty())
            return invalid(QStringLiteral("path"), reason);
        if (path.contains(QLatin1Char('@')) || path.contains(QLatin1Char('#')))
            return invalid(QStringLiteral("path"),
                           QStringLiteral("%1 (a mirror pulls a dataset, not a snapshot)").arg(shown(path)));
    }
    if (*action == 1 || *action == 2 || *action == 5) {
        const QString host = text(fields, "host").trimmed();
        const QString userid = text(fields, "userid").trimmed();
        if (host.isEmpty())
            return kMissing + QStringLiteral("host");
        if (userid.isEmpty())
            return kMissing + QStringLiteral("userid");
        // No password: the service's key logs in, when one is configured.
        if (text(fields, "passwd").isEmpty() && SshLogin::identityFile().isEmpty())
            return kMissing + QStringLiteral("passwd");
        const QString endpoint = ZfsCommands::invalidEndpointParameter(host, userid);
        if (!endpoint.isEmpty())
            return kInvalid + endpoint;
    } else {
        const QString path = text(fields, "path").trimmed();
        if (path.isEmpty())
            return kMissing + QStringLiteral("path");
        if (!path.startsWith(QLatin1Char('/')))
            return invalid(QStringLiteral("path"), kNotAbsolute);
    }
    return QString();
}

} // namespace

QString MissionValidator::request(const QJsonObject &params)
{
    return check(params, params.value(QStringLiteral("schedules")));
}

QString MissionValidator::problem(const QJsonObject &storedMission)
{
    QJsonValue schedules;
    const QString stored = text(storedMission, "schedules").trimmed();
    if (!stored.isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(stored.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isArray())
            return invalid(QStringLiteral("schedules"), kNotList);
        schedules = document.array();
    }
    return check(storedMission, schedules);
}

QString MissionValidator::schedules(const QJsonValue &schedules)
{
    if (isAbsent(schedules))
        return QString();
    if (!schedules.isArray())
        return invalid(QStringLiteral("schedules"), kNotList);
    const QJsonArray list = schedules.toArray();
    // The refusals' texts are built only when one is returned: an accepted
    // list (every append and change) costs no string work.
    const auto tooMany = [] {
        return invalid(QStringLiteral("schedules"), QStringLiteral("超过 %1 个值").arg(kMaxScheduleValues));
    };
    if (list.size() > kMaxScheduleValues)
        return tooMany();
    int count = 0;
    for (int i = 0; i < list.size(); ++i) {
        const auto place = [i] { return QStringLiteral("schedules[%1]").arg(i); };
        if (!list.at(i).isObject())
            return invalid(place(), kNotObject);
        const QJsonObject schedule = list.at(i).toObject();
        for (auto it = schedule.constBegin(); it != schedule.constEnd(); ++it) {
            const Range *range = nullptr;
            for (const Range &r : kRanges) {
                if (it.key() == QLatin1String(r.key))
                    range = &r;
            }
            const auto parameter = [&] { return place() + QLatin1Char('.') + shown(it.key()); };
            if (!range)
                return invalid(parameter(), kUnknownKey);
            if (!it.value().isArray())
                return invalid(parameter(), kNotList);
            const QJsonArray values = it.value().toArray();
            for (const QJsonValue &value : values) {
                if (++count > kMaxScheduleValues)
                    return tooMany();
                const std::optional<qint64> n = wholeNumber(value);
                if (!n || *n < range->low || *n > range->high)
                    return invalid(parameter(), shown(value));
            }
        }
        if (!canFallDue(schedule))
            return invalid(place() + QStringLiteral(".days"), neverDue(schedule));
    }
    return QString();
}

int MissionValidator::longestText(const QString &key)
{
    return key == QLatin1String("caption") ? kLongestCaption : kLongestText;
}

QString MissionValidator::port(const QJsonValue &port)
{
    if (isAbsent(port) || (port.isString() && port.toString().trimmed().isEmpty()))
        return QString();
    const std::optional<qint64> n = wholeNumber(port);
    if (!n || *n < 0 || *n > 65535)
        return invalid(QStringLiteral("port"), shown(port));
    return QString();
}

int MissionValidator::effectivePort(const QJsonValue &port)
{
    if (!MissionValidator::port(port).isEmpty())
        return kDefaultPort;
    const std::optional<qint64> n = wholeNumber(port);
    return (n && *n > 0) ? int(*n) : kDefaultPort;
}

QString MissionValidator::rateLimit(const QJsonValue &rateLimit)
{
    if (isAbsent(rateLimit) || (rateLimit.isString() && rateLimit.toString().trimmed().isEmpty()))
        return QString();
    const std::optional<qint64> n = wholeNumber(rateLimit);
    if (!n || *n < 0)
        return invalid(QStringLiteral("ratelimit"), shown(rateLimit));
    return QString();
}

QString MissionValidator::hook(const QJsonValue &hook, int action)
{
    if (isAbsent(hook) || (hook.isString() && hook.toString().trimmed().isEmpty()))
        return QString();
    if (!hook.isString())
        return invalid(QStringLiteral("hook"), shown(hook));
    const QString name = hook.toString().trimmed();
    // The commands run right before and after the mission's own snapshot:
    // only sends and exports take one.
    if (action != 1 && action != 3)
        return invalid(QStringLiteral("hook"), QStringLiteral("%1 (only send and export missions snapshot)").arg(shown(name)));
    if (!HookCatalogue::contains(name))
        return invalid(QStringLiteral("hook"), QStringLiteral("no hook named %1 is configured").arg(shown(name)));
    return QString();
}
