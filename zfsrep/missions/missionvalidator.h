// The rules a mission must meet before it is stored, and the same rules read
// back over a stored row. Pure functions of JSON in, a refusal message out
// (empty when the input is acceptable); reentrant, no engine state.
//
// Messages follow the service's parameter style and name the parameter and
// the reason: "缺少参数: host", "参数无效: port: 70000",
// "参数无效: schedules[0].hours: 25". A value echoed in a message is cut to
// a few dozen characters; a password is never echoed.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

class MissionValidator
{
public:
    static constexpr int kDefaultPort = 22;
    // A mission's schedules together may hold at most this many values.
    static constexpr int kMaxScheduleValues = 1000;
    // Characters a caption, and any other text field, may hold.
    static constexpr int kLongestCaption = 256;
    static constexpr int kLongestText = 4096;

    // The "params" of an append or change request, as the client sent them
    // (before any trimming or conversion). Checks the fields a mission needs
    // for its action: action 1-4; caption, pool, name, path, host, userid and
    // snapname free of control characters; every text field at most
    // longestText() characters; pool, name, path and snapname not starting
    // with "-"; pool and name (and the path of an export or restore)
    // without empty, "." or ".." components (MissionNames); schedules (see below); port; ratelimit;
    // host, userid and passwd for send and receive (passwd may be empty when
    // the service has a key, SshLogin::identityFile); an absolute path for
    // export and restore. Does not check that caption, pool and name are
    // present: the methods refuse those with their own message first.
    static QString request(const QJsonObject &params);

    // Why a stored mission (a row as the store reads it, "schedules" still
    // JSON text) cannot run as it is, or empty when it can. Rows stored
    // before these rules existed may break them; they are kept and shown
    // with this reason instead of being run.
    static QString problem(const QJsonObject &storedMission);

    // A schedule list: a JSON array (absent or null: empty) of objects whose
    // only keys are weeks (1-7), months (1-12), days (1-31), hours (0-23) and
    // minutes (0-59), each an array of whole numbers in range; at most
    // kMaxScheduleValues values in all; and a schedule that can never fall
    // due (no date of its "days" in any of its "months": 30 or 31 February,
    // 31 April, June, September, November) is refused naming its "days".
    // Stops at the first fault, so the work is bounded by the limit, not by
    // the size of the input.
    static QString schedules(const QJsonValue &schedules);

    // The most characters the text field `key` may hold.
    static int longestText(const QString &key);

    // A port: absent, null, empty text or 0 stand for kDefaultPort; otherwise
    // a whole number (or decimal text) 1-65535.
    static QString port(const QJsonValue &port);
    // The port to use: kDefaultPort for absent, 0 or anything invalid.
    static int effectivePort(const QJsonValue &port);

    // A hook's name: absent, null or empty text (none), or the name of an
    // entry of the configuration's "hooks" (HookCatalogue), for a send (1)
    // or an export (3) only.
    static QString hook(const QJsonValue &hook, int action);

    // A bandwidth limit in bytes per second: absent, null or empty text (no
    // limit), or a whole number >= 0 (0: no limit).
    static QString rateLimit(const QJsonValue &rateLimit);
};
