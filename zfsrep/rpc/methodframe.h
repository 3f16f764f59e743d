// The frame every RPC method of the router runs in: the request's
// parameters, the common refusals, the help answer, and the mission and
// remote-endpoint fields as the methods read them. Used by RequestRouter only.
#pragma once

#include "missionvalidator.h"
#include "sshlogin.h"
#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonObject>

#include <exception>
#include <optional>

namespace MethodFrame {

inline const QString kMissingRemote = QStringLiteral("缺少参数: host, port, userid, passwd");
inline const QString kMissingMission = QStringLiteral("缺少参数: caption, pool, name");
inline const QString kMissingChange = QStringLiteral("缺少参数: msnno, caption, pool, name");
inline const QString kMissingNumber = QStringLiteral("缺少参数: msnno");

// The request's "params"; anything but an object counts as an empty one.
class Params
{
public:
    explicit Params(const QJsonObject &request) : params(request.value(QStringLiteral("params")).toObject()) {}

    QString text(const char *key) const { return params.value(QLatin1String(key)).toString().trimmed(); }
    // Text as given, not trimmed (passwords).
    QString verbatim(const char *key) const { return params.value(QLatin1String(key)).toString(); }
    int integer(const char *key) const { return toInt(params.value(QLatin1String(key))); }
    int integer(const char *key, int def) const { return toInt(params.value(QLatin1String(key)), def); }
    bool flag(const char *key) const { return toBool(params.value(QLatin1String(key))); }
    QJsonArray array(const char *key) const { return params.value(QLatin1String(key)).toArray(); }
    const QJsonObject &all() const { return params; }

private:
    QJsonObject params;
};

using Results = std::optional<QJsonValue>;
// A method that succeeded without results.
inline const Results kNoResults = QJsonValue(QJsonValue::Undefined);

// Results the method has already written as compact JSON text: the text is
// handed to the cabinet, which the server writes as "results" in place of
// the null that stands in the answer object. An in-process caller of the
// router finds the text with TQ2Cabinet::takeResultsJson.
inline Results serialized(TQ2Cabinet *env, const QByteArray &json)
{
    env->setResultsJson(json);
    return QJsonValue(QJsonValue::Null);
}

inline void refuse(TQ2Cabinet *env, const QString &message) { env->setErr(TQ2Error::ERR_PARAMS, message); }

// The parameters a refusal of this service names, for clients that show
// their own text: {"fault": "missing", "fields": ["host", "userid"]} for
// "缺少参数: host, userid", {"fault": "invalid", "fields": ["port"]} for
// "参数无效: port: 70000"; empty for any other message. The messages are
// the service's own (kMissing*, MissionValidator).
inline QJsonObject refusalFields(const QString &message)
{
    static const QString missing = QStringLiteral("缺少参数: ");
    static const QString invalid = QStringLiteral("参数无效: ");
    QJsonArray fields;
    QString fault;
    if (message.startsWith(missing)) {
        fault = QStringLiteral("missing");
        for (const QString &name : message.mid(missing.size()).split(QLatin1Char(','), Qt::SkipEmptyParts))
            fields.append(name.trimmed());
    } else if (message.startsWith(invalid)) {
        fault = QStringLiteral("invalid");
        const QString rest = message.mid(invalid.size());
        const int colon = rest.indexOf(QLatin1Char(':'));
        fields.append((colon < 0 ? rest : rest.left(colon)).trimmed());
    }
    if (fields.isEmpty())
        return QJsonObject();
    return QJsonObject{{QStringLiteral("fault"), fault}, {QStringLiteral("fields"), fields}};
}

// The frame of every method. The connection's journal starts clean (code
// ERR_FAILED, no message, no entries), so an answer never carries what an
// earlier request on the same connection left. A request with "help" gets
// the (empty) help object with code 0 and nothing runs; otherwise `work`
// runs. When it returns results (possibly none), they go under "results" and
// the code becomes 0; when it returns nullopt, the engine or the parameter
// check has set the code and message.
template <typename Work>
inline void serve(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *env, Work work)
{
    env->reset(TQ2Error::ERR_FAILED, QString(), QJsonArray());
    env->begin();
    if (cmdObject.contains(QStringLiteral("help"))) {
        *retObject = QJsonObject();
        env->setErr(TQ2Error::ERR_SUCCEED, QString());
        return;
    }
    Results results;
    // Nothing thrown by a method's work leaves the connection's thread: the
    // request is answered with the reason instead.
    try {
        results = work(Params(cmdObject));
    } catch (const std::exception &error) {
        env->setErr(TQ2Error::ERR_FAILED, QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(error.what())));
        return;
    }
    if (!results) {
        // A refused parameter is also named in keys of its own (additive).
        if (env->err() == TQ2Error::ERR_PARAMS) {
            const QJsonObject named = refusalFields(env->errmsg());
            for (auto it = named.begin(); it != named.end(); ++it)
                retObject->insert(it.key(), it.value());
        }
        return;
    }
    if (!results->isUndefined())
        retObject->insert(QStringLiteral("results"), *results);
    env->setErr(TQ2Error::ERR_SUCCEED, QString());
}

// As above, but a request with "help" gets `help` (the method's help object),
// also with code 0 and a clean journal.
template <typename Work>
inline void serve(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *env, const QJsonObject &help,
           Work work)
{
    if (cmdObject.contains(QStringLiteral("help"))) {
        env->reset(TQ2Error::ERR_FAILED, QString(), QJsonArray());
        env->begin();
        *retObject = help;
        env->setErr(TQ2Error::ERR_SUCCEED, QString());
        return;
    }
    serve(retObject, cmdObject, env, work);
}

inline QJsonObject helpObject(const char *comment, const QJsonObject &params)
{
    QJsonObject help{{QStringLiteral("comment"), QString::fromUtf8(comment)}};
    if (!params.isEmpty())
        help.insert(QStringLiteral("params"), params);
    return help;
}

inline constexpr int kHistoryDefault = 50;
inline constexpr int kHistoryMost = 1000;

struct Remote {
    QString host;
    int port;
    QString userid;
    QString passwd;
    QString badPort; // refusal of the port as sent, empty when acceptable
    // No password is complete when the service's key logs in instead.
    bool complete() const
    {
        return !host.isEmpty() && !userid.isEmpty() && (!passwd.isEmpty() || !SshLogin::identityFile().isEmpty());
    }
};

// Port absent or 0 means 22.
inline Remote readRemote(const Params &p)
{
    const QJsonValue port = p.all().value(QStringLiteral("port"));
    return Remote{p.text("host"), MissionValidator::effectivePort(port), p.text("userid"), p.verbatim("passwd"),
                  MissionValidator::port(port)};
}

// Refuses an incomplete endpoint or a bad port; true when the query may run.
inline bool acceptRemote(TQ2Cabinet *env, const Remote &remote)
{
    if (!remote.complete()) {
        refuse(env, kMissingRemote);
        return false;
    }
    if (!remote.badPort.isEmpty()) {
        refuse(env, remote.badPort);
        return false;
    }
    return true;
}

// Mission keys newer than the first callers: a change request without one
// keeps the stored value (keepStoredKeys), an append stores "".
inline const char *const kNewerMissionKeys[] = {"keepsource", "keeptarget", "carry", "hook"};

// The mission fields of an append or change request, in the stored form.
inline QJsonObject readMission(const Params &p)
{
    QJsonObject mission{
        {QStringLiteral("caption"), p.text("caption")},
        {QStringLiteral("action"), p.integer("action")},
        {QStringLiteral("pool"), p.text("pool")},
        {QStringLiteral("name"), p.text("name")},
        {QStringLiteral("path"), p.text("path")},
        {QStringLiteral("host"), p.text("host")},
        {QStringLiteral("port"), MissionValidator::effectivePort(p.all().value(QStringLiteral("port")))},
        {QStringLiteral("userid"), p.text("userid")},
        {QStringLiteral("passwd"), p.verbatim("passwd")},
        {QStringLiteral("snapname"), p.text("snapname")},
        {QStringLiteral("increment"), p.flag("increment") ? 1 : 0},
        {QStringLiteral("erase"), p.flag("erase")},
        {QStringLiteral("encrypt"), p.flag("encrypt")},
        {QStringLiteral("encryptkey"), p.flag("encryptkey")},
        {QStringLiteral("schedules"), p.array("schedules")},
        {QStringLiteral("ratelimit"), p.integer("ratelimit")},
    };
    for (const char *key : kNewerMissionKeys)
        mission.insert(QLatin1String(key), p.text(key));
    return mission;
}

// Fills each newer key the request did not carry from the stored mission.
inline void keepStoredKeys(QJsonObject &mission, const Params &p, const QJsonObject &stored)
{
    for (const char *key : kNewerMissionKeys) {
        if (!p.all().contains(QLatin1String(key)))
            mission.insert(QLatin1String(key), stored.value(QLatin1String(key)).toString());
    }
}

inline bool hasMissionKeys(const QJsonObject &mission)
{
    for (const char *key : {"caption", "pool", "name"}) {
        if (mission.value(QLatin1String(key)).toString().isEmpty())
            return false;
    }
    return true;
}

inline void defaultSeries(QJsonObject &mission)
{
    if (mission.value(QStringLiteral("snapname")).toString().isEmpty())
        mission.insert(QStringLiteral("snapname"), QStringLiteral("ZFSREP"));
}

} // namespace MethodFrame
