// The fixture of the side-by-side scheduler tests: an engine on the fake
// runner with a clock the test sets, run slots the test chooses, and helpers
// that append send missions to named hosts, read the listing and wait for
// runs. The transfers hang in the fake runner until cancelled.
#pragma once

#include "fakerunner.h"
#include "mxzfsrep.h"
#include "qmtarnlog.h"
#include "tq2dbsqlite.h"
#include "runhistory.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <mutex>

namespace parallelruns {

inline bool eventually(const std::function<bool()> &condition, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (condition())
            return true;
        QThread::msleep(5);
    }
    return condition();
}

inline QString sshTo(const QString &host)
{
    return "sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts "
           "-o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@"
           + host + " ";
}

class ParallelRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine = std::make_unique<MXZfsrep>();
        engine->setRunner(runner);
        engine->setDatabasePath(dir.filePath("zfsrep.db"));
        engine->events().open(dir.filePath("tarnlog.db"));
        engine->setClock([this] {
            std::lock_guard<std::mutex> lock(clockMutex);
            return clockNow;
        });
        engine->scheduler().setTickInterval(5);
        engine->settings().sshControlDirectory = QString();
        ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject()));
        runner->respond("zfs send -nvP", 0, "size\t8000\n");
        runner->respond("zfs list -pj", 0, "{}");
        runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{}}})");
    }

    void TearDown() override { EXPECT_TRUE(engine->scheduler().shutdown(10000)); }

    void setClock(const QTime &time)
    {
        std::lock_guard<std::mutex> lock(clockMutex);
        clockNow = QDateTime(QDate(2024, 3, 4), time);
    }

    // A send of tank/NAME to HOST:backup whose transfer hangs until it is
    // cancelled (a first, full send: the replica does not exist).
    int appendSend(const QString &caption, const QString &host, const QString &name, const QString &schedules = "[]",
                   const QString &path = "backup")
    {
        prepareSend(host, name, path);
        return append(QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", name},
                                  {"path", path}, {"host", host}, {"port", 22}, {"userid", "zr"},
                                  {"passwd", "pw"}, {"snapname", "ZFSREP"},
                                  {"schedules", QJsonDocument::fromJson(schedules.toUtf8()).array()}});
    }

    // The answers a first send of tank/NAME to HOST:PATH gets. The first rule
    // whose prefix matches wins: a dataset inside another is prepared first.
    void prepareSend(const QString &host, const QString &name, const QString &path = "backup")
    {
        const QString target = path + "/" + name;
        runner->respond("zfs list -t snapshot -H -o name tank/" + name, 0, ("tank/" + name + "@a\n").toUtf8());
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/"
                            + name,
                        0, ("tank/" + name + "\treceive_resume_token\t-\n").toUtf8());
        runner->respond("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/" + name, 0,
                        ("tank/" + name + "@a\t11\t5\n").toUtf8());
        runner->respond(sshTo(host) + "zfs list -H -o name", 0, "backup\n");
        runner->respond(sshTo(host) + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume "
                                      "receive_resume_token,written " + target,
                        1, "", ("cannot open '" + target + "': dataset does not exist\n").toUtf8());
    }

    int append(const QJsonObject &mission)
    {
        EXPECT_TRUE(engine->appendMission(journals, mission));
        QJsonArray rows;
        engine->db().call(rows, "mission_detail", QJsonObject{{"caption", mission.value("caption")}});
        return rows.at(0).toObject().value("msnno").toInt();
    }

    void queueHangingStages(int count)
    {
        for (int i = 0; i < count; ++i) {
            FakeStage hanging;
            hanging.hangs = true;
            hanging.chunks = {"1.0 1000\r\n"};
            runner->queueStage(hanging);
        }
    }

    void setLimits(int parallel, int perHost)
    {
        RunLimits limits;
        limits.maxParallel = parallel;
        limits.maxPerHost = perHost;
        engine->scheduler().setLimits(limits);
    }

    QJsonObject listed(int msnno)
    {
        QJsonObject result;
        TQ2Journals listing;
        engine->listing().list(listing, result, 1, 99999999);
        for (const QJsonValue &row : result.value("records").toArray()) {
            if (row.toObject().value("msnno").toInt() == msnno)
                return row.toObject();
        }
        return QJsonObject();
    }
    QString stateOf(int msnno) { return listed(msnno).value("state").toString(); }

    // list and listJson give the same text; the live figures that move with
    // time between the two readings ("speed", "eta") are left out.
    void expectListingsAgree()
    {
        QJsonObject result;
        QByteArray json;
        ASSERT_TRUE(engine->listing().list(journals, result, 1, 99999999));
        ASSERT_TRUE(engine->listing().listJson(journals, json, 1, 99999999));
        QJsonObject reread = QJsonDocument::fromJson(json).object();
        ASSERT_FALSE(reread.isEmpty()) << json.constData();
        for (QJsonObject *answer : {&result, &reread}) {
            QJsonArray records = answer->value("records").toArray();
            for (int i = 0; i < records.size(); ++i) {
                QJsonObject row = records.at(i).toObject();
                for (const char *key : {"speed", "eta"})
                    row.remove(key);
                records.replace(i, row);
            }
            answer->insert("records", records);
        }
        EXPECT_EQ(QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString(),
                  QJsonDocument(reread).toJson(QJsonDocument::Compact).toStdString());
    }

    QList<RunRecord> runsOf(int msnno)
    {
        QList<RunRecord> runs;
        engine->history().list(runs, msnno, 50);
        return runs;
    }
    QString lastOutcome(int msnno)
    {
        const QList<RunRecord> runs = runsOf(msnno);
        return runs.isEmpty() ? QString() : runs.first().outcome;
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    std::unique_ptr<MXZfsrep> engine;
    TQ2Journals journals;
    std::mutex clockMutex;
    QDateTime clockNow = QDateTime(QDate(2024, 3, 4), QTime(10, 15, 20));
};

} // namespace parallelruns
