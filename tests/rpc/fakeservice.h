// A stand-in for the service's mission methods, for zfsrepctl's tests:
// records the request it got, answers mission 3 and refuses every other
// mission, and lists the records it was given (one listing per call, the
// last one repeated). Methods run on the server's connection threads.
#pragma once

#include "tq2cabinet.h"
#include "tq2todorouter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <mutex>

class FakeService : public TQ2TodoRouter
{
    Q_OBJECT
public:
    QJsonObject lastRequest() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return last;
    }
    void setListings(const QList<QJsonArray> &listings)
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending = listings;
    }
    // Histories of mission 3, one per call, the last one repeated; none set:
    // history() for every call.
    void setHistories(const QList<QJsonArray> &histories)
    {
        std::lock_guard<std::mutex> lock(mutex);
        pendingHistories = histories;
    }

    // What zfsrep_metrics answers from now on (metrics() until set).
    void setMetricsText(const QString &text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        metricsText = text;
    }

    // The runs zfsrep_mission_history answers for mission 3 from now on
    // (history() until then).
    void setHistory(const QJsonArray &runs)
    {
        std::lock_guard<std::mutex> lock(mutex);
        historyRuns = runs;
    }

    // The run number zfsrep_mission_run answers from now on (0: no results,
    // as older services answer).
    void setRunAnswer(qint64 runno)
    {
        std::lock_guard<std::mutex> lock(mutex);
        answeredRunno = runno;
    }

    static QJsonArray history()
    {
        return QJsonArray{QJsonObject{{"runno", 12}, {"msnno", 3}, {"caption", "Nightly"}, {"action", 1},
                                      {"kind", "incremental"}, {"started", 1796676060}, {"ended", 1796676185},
                                      {"outcome", "failed"},
                                      {"error", "cannot open 'nopool/data': dataset does not exist\nsecond line"},
                                      {"bytes", 0}, {"rate", 0}, {"base", "ZFSREP-1"}, {"target", "ZFSREP-2"}}};
    }
    static QString metrics()
    {
        return "# HELP zfsrep_mission_running Whether the mission's transfer runs.\n"
               "# TYPE zfsrep_mission_running gauge\n"
               "zfsrep_mission_running{msnno=\"3\",caption=\"Nightly\"} 0\n";
    }

public slots:
    void zfsrep_mission_run(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        qint64 runno = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            runno = answeredRunno;
        }
        answerForMission(retObject, cmdObject, envObject, 9992, QString::fromUtf8("任务正在运行: mission 7 is transferring"),
                         runno > 0 ? QJsonValue(QJsonObject{{"runno", runno}}) : QJsonValue(QJsonValue::Undefined));
    }
    void zfsrep_mission_cancel(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (record(cmdObject))
            answerForMission(retObject, cmdObject, envObject, 9985, QString::fromUtf8("任务没有运行"));
    }
    void zfsrep_mission_history(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        // Mission 5 has no runs (or is not there): an empty history, as the
        // service answers for any number it has no runs of.
        if (cmdObject.value("params").toObject().value("msnno").toInt() == 5) {
            retObject->insert("results", QJsonArray());
            envObject->setErr(0, QString());
            return;
        }
        QJsonArray runs = history();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!pendingHistories.isEmpty())
                runs = pendingHistories.size() > 1 ? pendingHistories.takeFirst() : pendingHistories.first();
            else if (!historyRuns.isEmpty())
                runs = historyRuns;
        }
        answerForMission(retObject, cmdObject, envObject, 9994, QString::fromUtf8("任务名称不存在"), runs);
    }
    // The dry run of mission 3: a login refused on the far side.
    void zfsrep_mission_check(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        const QJsonArray checks{
            QJsonObject{{"check", "local dataset"}, {"ok", true}, {"text", "tank/data exists with 2 snapshots"}},
            QJsonObject{{"check", "login"}, {"ok", false},
                        {"text", "on 10.0.0.2 as replica: Permission denied, please try again."}}};
        answerForMission(retObject, cmdObject, envObject, 9994, QString::fromUtf8("任务不存在: 9"),
                         QJsonObject{{"ok", false}, {"checks", checks}});
    }
    // The local pools: tank holds data.
    void zfsrep_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        retObject->insert("results", QJsonObject{{"tank", QJsonObject{{"items", QJsonObject{{"data", QJsonObject()}}}}}});
        envObject->setErr(0, QString());
    }
    void zfsrep_mission_append(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        retObject->insert("results", QJsonObject{{"msnno", 8}});
        envObject->setErr(0, QString());
    }
    void zfsrep_mission_remove(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (record(cmdObject))
            answerForMission(retObject, cmdObject, envObject, 9994, QString::fromUtf8("任务名称不存在"));
    }
    void zfsrep_metrics(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        retObject->insert("results", QJsonObject{{"text", metricsText}});
        envObject->setErr(0, QString());
    }
    void zfsrep_mission_alload(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
    {
        if (!record(cmdObject))
            return;
        QJsonArray records;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!pending.isEmpty())
                records = pending.size() > 1 ? pending.takeFirst() : pending.first();
        }
        retObject->insert("results", QJsonObject{{"records", records}});
        envObject->setErr(0, QString());
    }

private:
    // False for a help request, which is answered with nothing.
    bool record(const QJsonObject &cmdObject)
    {
        if (cmdObject.contains("help"))
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        last = cmdObject;
        return true;
    }
    void answerForMission(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject, int code,
                          const QString &message, const QJsonValue &results = QJsonValue(QJsonValue::Undefined))
    {
        if (cmdObject.value("params").toObject().value("msnno").toInt() != 3) {
            envObject->setErr(code, message);
            return;
        }
        if (!results.isUndefined())
            retObject->insert("results", results);
        envObject->setErr(0, QString());
    }

    mutable std::mutex mutex;
    QJsonObject last;
    QList<QJsonArray> pending;
    QString metricsText = metrics();
    QJsonArray historyRuns;
    QList<QJsonArray> pendingHistories;
    qint64 answeredRunno = 0;
};

