#include "requestrouter.h"

#include "mxzfsrep.h"
#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonArray>

namespace {

const QString kMissingRemote = QStringLiteral("缺少参数: host, port, userid, passwd");
const QString kMissingMission = QStringLiteral("缺少参数: caption, pool, name");
const QString kMissingChange = QStringLiteral("缺少参数: msnno, caption, pool, name");
const QString kMissingNumber = QStringLiteral("缺少参数: msnno");

// The request's "params"; anything but an object counts as an empty one.
class Params
{
public:
    explicit Params(const QJsonObject &request) : params(request.value(QStringLiteral("params")).toObject()) {}

    QString text(const char *key) const { return params.value(QLatin1String(key)).toString().trimmed(); }
    int integer(const char *key) const { return toInt(params.value(QLatin1String(key))); }
    int integer(const char *key, int def) const { return toInt(params.value(QLatin1String(key)), def); }
    bool flag(const char *key) const { return toBool(params.value(QLatin1String(key))); }
    QJsonArray array(const char *key) const { return params.value(QLatin1String(key)).toArray(); }

private:
    QJsonObject params;
};

// The help protocol: a request with "help" gets the empty help object.
bool answersHelp(QJsonObject *retObject, const QJsonObject &cmdObject)
{
    if (!cmdObject.contains(QStringLiteral("help")))
        return false;
    *retObject = QJsonObject();
    return true;
}

void succeed(TQ2Cabinet *env) { env->setErr(TQ2Error::ERR_SUCCEED, QString()); }

void refuse(TQ2Cabinet *env, const QString &message) { env->setErr(TQ2Error::ERR_PARAMS, message); }

struct Remote {
    QString host;
    int port;
    QString userid;
    QString passwd;
    bool complete() const { return !host.isEmpty() && !userid.isEmpty() && !passwd.isEmpty(); }
};

Remote readRemote(const Params &p)
{
    return Remote{p.text("host"), p.integer("port"), p.text("userid"), p.text("passwd")};
}

// The mission fields of an append or change request, in the stored form.
QJsonObject readMission(const Params &p)
{
    return QJsonObject{
        {QStringLiteral("caption"), p.text("caption")},
        {QStringLiteral("action"), p.integer("action")},
        {QStringLiteral("pool"), p.text("pool")},
        {QStringLiteral("name"), p.text("name")},
        {QStringLiteral("path"), p.text("path")},
        {QStringLiteral("host"), p.text("host")},
        {QStringLiteral("port"), p.integer("port")},
        {QStringLiteral("userid"), p.text("userid")},
        {QStringLiteral("passwd"), p.text("passwd")},
        {QStringLiteral("snapname"), p.text("snapname")},
        {QStringLiteral("increment"), p.flag("increment") ? 1 : 0},
        {QStringLiteral("erase"), p.flag("erase")},
        {QStringLiteral("encrypt"), p.flag("encrypt")},
        {QStringLiteral("encryptkey"), p.flag("encryptkey")},
        {QStringLiteral("schedules"), p.array("schedules")},
    };
}

bool hasMissionKeys(const QJsonObject &mission)
{
    for (const char *key : {"caption", "pool", "name"}) {
        if (mission.value(QLatin1String(key)).toString().isEmpty())
            return false;
    }
    return true;
}

void defaultSeries(QJsonObject &mission)
{
    if (mission.value(QStringLiteral("snapname")).toString().isEmpty())
        mission.insert(QStringLiteral("snapname"), QStringLiteral("ZFSREP"));
}

} // namespace

RequestRouter::RequestRouter(MXZfsrep &engine, QObject *parent) : TQ2TodoRouter(parent), engine(engine) {}

bool RequestRouter::loadConfigure(TQ2Journals &journals, const QJsonObject &config)
{
    return engine.loadConfigure(journals, config);
}

void RequestRouter::zfsrep_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    QJsonObject pools;
    if (!engine.alload(*envObject, pools))
        return;
    retObject->insert(QStringLiteral("results"), pools);
    succeed(envObject);
}

void RequestRouter::zfsrep_pools_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Remote remote = readRemote(Params(cmdObject));
    if (!remote.complete())
        return refuse(envObject, kMissingRemote);
    QJsonObject pools;
    if (!engine.remotePools(*envObject, pools, remote.host, remote.port, remote.userid, remote.passwd))
        return;
    retObject->insert(QStringLiteral("results"), pools);
    succeed(envObject);
}

void RequestRouter::zfsrep_snapshot(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    QJsonArray snapshots;
    if (!engine.snapshotAlload(*envObject, snapshots))
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("snapshots"), snapshots}});
    succeed(envObject);
}

void RequestRouter::zfsrep_snapshot_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Remote remote = readRemote(Params(cmdObject));
    if (!remote.complete())
        return refuse(envObject, kMissingRemote);
    QJsonObject tree;
    if (!engine.remoteSnapshotAlload(*envObject, tree, remote.host, remote.port, remote.userid, remote.passwd))
        return;
    retObject->insert(QStringLiteral("results"), tree);
    succeed(envObject);
}

void RequestRouter::zfsrep_mission_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Params p(cmdObject);
    QJsonObject result;
    if (!engine.transferAlload(*envObject, result, p.integer("page", 1), p.integer("ofpage", 99999999)))
        return;
    retObject->insert(QStringLiteral("results"), result);
    succeed(envObject);
}

void RequestRouter::zfsrep_mission_exists(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const QString caption = Params(cmdObject).text("caption");
    if (caption.isEmpty())
        return refuse(envObject, kMissingMission);
    // A database failure adds a journal entry; it must not read as "no".
    const int entries = envObject->segments().size();
    const bool exists = engine.transferExists(*envObject, caption);
    if (!exists && envObject->segments().size() > entries)
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("exists"), exists ? 1 : 0}});
    succeed(envObject);
}

void RequestRouter::zfsrep_mission_append(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Params p(cmdObject);
    QJsonObject mission = readMission(p); // "datasets" is accepted and not used
    if (!hasMissionKeys(mission))
        return refuse(envObject, kMissingMission);
    defaultSeries(mission);
    if (!engine.transferAppend(*envObject, mission))
        return;
    succeed(envObject);
}

void RequestRouter::zfsrep_mission_change(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Params p(cmdObject);
    const int msnno = p.integer("msnno");
    QJsonObject mission = readMission(p);
    if (msnno <= 0 || !hasMissionKeys(mission))
        return refuse(envObject, kMissingChange);
    mission.insert(QStringLiteral("msnno"), msnno);
    defaultSeries(mission);
    if (!engine.transferChange(*envObject, mission))
        return;
    succeed(envObject);
}

void RequestRouter::zfsrep_mission_remove(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const int msnno = Params(cmdObject).integer("msnno");
    if (msnno <= 0)
        return refuse(envObject, kMissingNumber);
    if (!engine.transferRemove(*envObject, msnno))
        return;
    succeed(envObject);
}

void RequestRouter::zfsrep_log_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const Params p(cmdObject);
    QJsonArray records;
    if (!engine.transferLogAlload(*envObject, records, p.integer("page", 1), p.integer("ofpage", 999999999)))
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("records"), records}});
    succeed(envObject);
}

void RequestRouter::zfsrep_log_clear(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    if (answersHelp(retObject, cmdObject))
        return;
    envObject->begin();
    if (!engine.transferLogClear(*envObject))
        return;
    succeed(envObject);
}
