// The service's RPC methods. Each reads its arguments from the
// request's "params", checks the required ones (ERR_PARAMS "缺少参数: ..."),
// calls one engine operation with the connection's journal and, on success,
// answers with the engine's result under "results" and code 0. A request with
// a "help" key gets the (empty) help object and does no work.
//
// Methods run on the connection thread that received the request, several at
// a time; they hold no lock of their own.
#pragma once

#include "tq2todorouter.h"

#include <QJsonObject>

class MXZfsrep;
class TQ2Cabinet;

class RequestRouter : public TQ2TodoRouter
{
    Q_OBJECT
public:
    // `engine` must outlive the router.
    explicit RequestRouter(MXZfsrep &engine, QObject *parent = nullptr);

    // Hands the configuration to the engine (opens the database, arms the
    // pending missions).
    bool loadConfigure(TQ2Journals &journals, const QJsonObject &config) override;

private slots:
    void zfsrep_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_pools_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_snapshot(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_snapshot_remote(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_exists(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_append(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_change(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_remove(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_log_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_log_clear(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    // Operator control and monitoring; these answer "help" with their help
    // object (comment and parameters).
    void zfsrep_mission_run(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_cancel(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    // The dry run of a mission: results {"ok": bool, "checks": [{"check",
    // "ok", "text"}, ...]}; nothing is sent or written.
    void zfsrep_mission_check(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_mission_history(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_metrics(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);
    void zfsrep_hostkey_forget(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);

private:
    MXZfsrep &engine;
};
