#include "requestrouter.h"

#include "eventrecorder.h"
#include "methodframe.h"
#include "missioncheck.h"

#include "missionvalidator.h"
#include "mxzfsrep.h"
#include "sshlogin.h"
#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonArray>

#include <optional>
#include <pwd.h>
#include <vector>

using namespace MethodFrame;

RequestRouter::RequestRouter(MXZfsrep &engine, QObject *parent) : TQ2TodoRouter(parent), engine(engine) {}

bool RequestRouter::loadConfigure(TQ2Journals &journals, const QJsonObject &config)
{
    return engine.loadConfigure(journals, config);
}

void RequestRouter::zfsrep_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &) -> Results {
        QJsonObject pools;
        if (!engine.localQueries().alload(*envObject, pools))
            return std::nullopt;
        return QJsonValue(pools);
    });
}

void RequestRouter::zfsrep_pools_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        const Remote remote = readRemote(p);
        QJsonObject pools;
        if (!acceptRemote(envObject, remote))
            return std::nullopt;
        if (!engine.remoteQueries().remotePools(*envObject, pools, remote.host, remote.port, remote.userid, remote.passwd))
            return std::nullopt;
        return QJsonValue(pools);
    });
}

void RequestRouter::zfsrep_snapshot(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &) -> Results {
        QJsonArray snapshots;
        if (!engine.localQueries().snapshotAlload(*envObject, snapshots))
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("snapshots"), snapshots}});
    });
}

void RequestRouter::zfsrep_snapshot_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        const Remote remote = readRemote(p);
        QJsonObject tree;
        if (!acceptRemote(envObject, remote))
            return std::nullopt;
        if (!engine.remoteQueries().remoteSnapshotAlload(*envObject, tree, remote.host, remote.port, remote.userid, remote.passwd))
            return std::nullopt;
        return QJsonValue(tree);
    });
}

void RequestRouter::zfsrep_mission_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        // The listing of thousands of missions is written as text straight
        // from the store, never built as one JSON value.
        QByteArray json;
        if (!engine.listing().listJson(*envObject, json, p.integer("page", 1), p.integer("ofpage", 99999999)))
            return std::nullopt;
        return serialized(envObject, json);
    });
}

void RequestRouter::zfsrep_mission_exists(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        const QString caption = p.text("caption");
        if (caption.isEmpty()) {
            refuse(envObject, kMissingMission);
            return std::nullopt;
        }
        // A database failure adds a journal entry; it must not read as "no".
        const int entries = envObject->segments().size();
        const bool exists = engine.missions().exists(*envObject, caption);
        if (!exists && envObject->segments().size() > entries)
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("exists"), exists ? 1 : 0}});
    });
}

void RequestRouter::zfsrep_mission_append(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        QJsonObject mission = readMission(p); // "datasets" is accepted and not used
        if (!hasMissionKeys(mission)) {
            refuse(envObject, kMissingMission);
            return std::nullopt;
        }
        if (const QString bad = MissionValidator::request(p.all()); !bad.isEmpty()) {
            refuse(envObject, bad);
            return std::nullopt;
        }
        defaultSeries(mission);
        // The new number answers the append, so a client need not look the
        // caption up in the listing.
        int msnno = 0;
        if (!engine.appendMission(*envObject, mission, &msnno))
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("msnno"), msnno}});
    });
}

void RequestRouter::zfsrep_mission_change(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        QJsonObject mission = readMission(p);
        if (msnno <= 0 || !hasMissionKeys(mission)) {
            refuse(envObject, kMissingChange);
            return std::nullopt;
        }
        // A change never alters the action; a request without one is checked
        // against the stored mission's.
        QJsonObject checked = p.all();
        if (!checked.contains(QStringLiteral("action"))) {
            QJsonObject stored;
            if (!engine.missions().row(*envObject, msnno, stored))
                return std::nullopt;
            checked.insert(QStringLiteral("action"), stored.value(QStringLiteral("action")));
        }
        // Keys a caller does not know keep their stored values; a missing
        // mission is refused by the change itself, as before.
        QJsonObject stored;
        TQ2Journals lookup;
        if (engine.missions().row(lookup, msnno, stored))
            keepStoredKeys(mission, p, stored);
        if (const QString bad = MissionValidator::request(checked); !bad.isEmpty()) {
            refuse(envObject, bad);
            return std::nullopt;
        }
        mission.insert(QStringLiteral("msnno"), msnno);
        defaultSeries(mission);
        return engine.changeMission(*envObject, mission) ? kNoResults : std::nullopt;
    });
}

void RequestRouter::zfsrep_mission_remove(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        if (msnno <= 0) {
            refuse(envObject, kMissingNumber);
            return std::nullopt;
        }
        return engine.removeMission(*envObject, msnno) ? kNoResults : std::nullopt;
    });
}

void RequestRouter::zfsrep_log_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &) -> Results {
        QJsonArray records;
        if (!engine.events().list(records))
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("records"), records}});
    });
}

void RequestRouter::zfsrep_log_clear(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    serve(retObject, cmdObject, envObject, [&](const Params &) -> Results {
        return engine.events().clear() ? kNoResults : std::nullopt;
    });
}

void RequestRouter::zfsrep_mission_run(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject("立即运行任务 (不等下一分钟); 该任务或其他任务正在传输时拒绝; results.runno: 该次运行的编号",
                                        QJsonObject{{QStringLiteral("msnno"), QStringLiteral("任务编号")}});
    serve(retObject, cmdObject, envObject, help, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        if (msnno <= 0) {
            refuse(envObject, kMissingNumber);
            return std::nullopt;
        }
        // The run's number in the history answers the request, so a client
        // follows that very run.
        qint64 runno = 0;
        if (!engine.scheduler().runNow(*envObject, msnno, &runno))
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("runno"), runno}});
    });
}

void RequestRouter::zfsrep_mission_cancel(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject("取消正在运行的任务的传输, 该次运行记录为 cancelled",
                                        QJsonObject{{QStringLiteral("msnno"), QStringLiteral("正在运行的任务编号")}});
    serve(retObject, cmdObject, envObject, help, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        if (msnno <= 0) {
            refuse(envObject, kMissingNumber);
            return std::nullopt;
        }
        return engine.scheduler().cancel(*envObject, msnno) ? kNoResults : std::nullopt;
    });
}

void RequestRouter::zfsrep_mission_check(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject(
        "检查任务能否运行 (登录, 数据集, 主机密钥, 空间), 不传输也不写入: results.ok, results.checks[].check/ok/text",
        QJsonObject{{QStringLiteral("msnno"), QStringLiteral("任务编号")}});
    serve(retObject, cmdObject, envObject, help, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        if (msnno <= 0) {
            refuse(envObject, kMissingNumber);
            return std::nullopt;
        }
        QJsonObject row;
        if (!engine.missions().row(*envObject, msnno, row)) {
            if (envObject->err() == TQ2Error::ERR_NOT_EXISTS)
                envObject->setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务不存在: %1").arg(msnno));
            return std::nullopt;
        }
        // A stored mission that breaks the rules never runs: that is the
        // one thing to say about it.
        const QString problem = MissionValidator::problem(row);
        QList<MissionCheck::Line> lines;
        if (!problem.isEmpty())
            lines.append(MissionCheck::Line{QStringLiteral("mission"), false, problem});
        else
            lines = MissionCheck(engine.runServices()).check(Mission::fromRow(row));
        return QJsonValue(MissionCheck::toJson(lines));
    });
}

void RequestRouter::zfsrep_mission_history(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject(
        "任务的运行历史, 最新的在前: runno, msnno, caption, action, kind, started, ended, outcome, error, "
        "bytes, rate, base, target, file (导出写入的文件)",
        QJsonObject{{QStringLiteral("msnno"), QStringLiteral("任务编号")},
                    {QStringLiteral("limit"), QStringLiteral("最多返回的条数 (可选, 默认 50, 最大 1000)")}});
    serve(retObject, cmdObject, envObject, help, [&](const Params &p) -> Results {
        const int msnno = p.integer("msnno");
        const int limit = p.integer("limit", kHistoryDefault);
        if (msnno <= 0) {
            refuse(envObject, kMissingNumber);
            return std::nullopt;
        }
        if (limit <= 0 || limit > kHistoryMost) {
            refuse(envObject, QStringLiteral("参数无效: limit: %1").arg(limit));
            return std::nullopt;
        }
        QList<RunRecord> records;
        if (!engine.history().list(records, msnno, limit)) {
            envObject->setErr(TQ2Error::ERR_SQLERROR, engine.history().lastError());
            return std::nullopt;
        }
        QJsonArray runs;
        for (const RunRecord &run : records)
            runs.append(run.toJson());
        return QJsonValue(runs);
    });
}

void RequestRouter::zfsrep_metrics(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject("Prometheus 文本格式的监控指标: results.text", QJsonObject());
    serve(retObject, cmdObject, envObject, help, [&](const Params &) -> Results {
        QString text;
        if (!engine.metricsText(*envObject, text))
            return std::nullopt;
        return QJsonValue(QJsonObject{{QStringLiteral("text"), text}});
    });
}

namespace {

// The account name of `uid`, empty when it has none.
QString userName(uid_t uid)
{
    struct passwd entry {};
    struct passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

} // namespace

void RequestRouter::zfsrep_hostkey_forget(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
{
    const QJsonObject help = helpObject(
        "忘记主机 host:port 记录的 ssh 主机密钥 (主机重装后), 下次连接时记录新密钥; results.found: 是否有记录",
        QJsonObject{{QStringLiteral("host"), QStringLiteral("主机")}, {QStringLiteral("port"), QStringLiteral("端口, 默认 22")}});
    serve(retObject, cmdObject, envObject, help, [&](const Params &p) -> Results {
        const QJsonValue port = p.all().value(QStringLiteral("port"));
        if (p.text("host").isEmpty()) {
            refuse(envObject, QStringLiteral("缺少参数: host"));
            return std::nullopt;
        }
        if (!MissionValidator::port(port).isEmpty()) {
            refuse(envObject, MissionValidator::port(port));
            return std::nullopt;
        }
        bool found = false;
        const int effectivePort = MissionValidator::effectivePort(port);
        if (!engine.remoteQueries().forgetHostKey(*envObject, p.text("host"), effectivePort, found))
            return std::nullopt;
        // Forgetting a key lets the next connection trust a new one: who
        // asked, for which host, stays on record.
        const QJsonValue peer = envObject->value(QStringLiteral("peeruid"));
        const long long uid = peer.isDouble() ? static_cast<long long>(peer.toDouble()) : -1;
        engine.events().writeHostKeyForgotten(p.text("host"), effectivePort,
                                              SshLogin::knownHostsName(p.text("host"), effectivePort), uid,
                                              uid >= 0 ? userName(uid_t(uid)) : QString(), found);
        return QJsonValue(QJsonObject{{QStringLiteral("found"), found}});
    });
}
