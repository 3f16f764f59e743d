// Runs side by side on the testbed, with maxparallel 4 and maxperhost 1: a
// throttled full send of a tree to host A holds neither an incremental to
// host B nor anything else back, a second mission to host A waits (listed
// "waiting") and starts right after the first one's end, an export inside
// the sent tree never overlaps the send; cancel and remove each act on one
// of two runs going, and SIGTERM to the real service records every running
// run as interrupted. The engine runs in-process with a clock
// that moves with the wall clock from a moment the test picks.
#include "tbharness.h"
#include "transferfixture.h"

#include "runhistory.h"
#include "service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>

namespace {

constexpr qint64 kRate = 100 * 1024; // bytes per second of the long send

class ParallelE2e : public TransferE2e
{
protected:
    // The engine's clock runs from `start` on, with the wall clock.
    void runClockFrom(const QTime &start)
    {
        const QDateTime base(kDay, start);
        wall.start();
        engine->setClock([base, this] { return base.addMSecs(wall.elapsed()); });
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
        EXPECT_TRUE(engine->listing().list(listing, result, 1, 1000));
        for (const QJsonValue &value : result.value("records").toArray()) {
            if (value.toObject().value("msnno").toInt() == msnno)
                return value.toObject();
        }
        return QJsonObject();
    }
    QString stateOf(int msnno) { return listed(msnno).value("state").toString(); }

    // The mission's newest run; runno 0 when it never ran.
    RunRecord newestRun(int msnno)
    {
        QList<RunRecord> runs;
        engine->history().list(runs, msnno, 1);
        return runs.isEmpty() ? RunRecord() : runs.first();
    }
    bool ended(int msnno) { return newestRun(msnno).ended > 0; }

    static QJsonObject scheduledAt(QJsonObject mission, int minute)
    {
        mission.insert("schedules", QJsonArray{QJsonObject{{"minutes", QJsonArray{minute}}}});
        return mission;
    }

    // Due only on New Year's midnight: it runs when asked to (a mission
    // without schedules runs at the next pass).
    static QJsonObject yearly(QJsonObject mission)
    {
        mission.insert("schedules", QJsonArray{QJsonObject{{"months", QJsonArray{1}}, {"days", QJsonArray{1}},
                                                           {"hours", QJsonArray{0}}, {"minutes", QJsonArray{0}}}});
        return mission;
    }

    static qint64 at(const QTime &time) { return QDateTime(kDay, time).toSecsSinceEpoch(); }

    QElapsedTimer wall;
};

TEST_F(ParallelE2e, ALongSendToOneHostHoldsBackNeitherAnotherHostNorAnotherTree)
{
    // tank/a: a tree whose full send lasts a minute at the rate limit;
    // tank/a/b inside it; tank/c and tank/b small.
    ASSERT_TRUE(tb::localZfs({"create", "tank/a"}).ok());
    tb::writeRandomFile(tb::localPath("tank/a") + "/big.bin", 6 << 20, 331);
    ASSERT_TRUE(tb::localZfs({"create", "tank/a/b"}).ok());
    tb::writeRandomFile(tb::localPath("tank/a/b") + "/small.bin", 40000, 332);
    makeLocalDataset("b", 333);
    makeLocalDataset("c", 334);
    const QString exportDir = scratch + "/export";
    ASSERT_TRUE(QDir().mkpath(exportDir));

    // Host B holds a replica of tank/b already: its scheduled run is an
    // incremental.
    ASSERT_TRUE(drive->sendPool(journals, onHost2(mission(1, {{"name", "b"}})))) << journalText(journals).toStdString();
    tb::writeRandomFile(tb::localPath("tank/b") + "/new.bin", 30000, 335);

    setLimits(4, 1);
    // All four fall due at 10:17, in this order.
    const int longSend = append(scheduledAt(mission(1, {{"caption", "long to A"}, {"name", "a"}, {"ratelimit", kRate}}), 17));
    const int secondToA = append(scheduledAt(mission(1, {{"caption", "second to A"}, {"name", "c"}}), 17));
    const int inside = append(scheduledAt(mission(3, {{"caption", "export inside"}, {"name", "a/b"}, {"path", exportDir}}), 17));
    const int toB = append(scheduledAt(onHost2(mission(1, {{"caption", "incremental to B"}, {"name", "b"}})), 17));
    ASSERT_GT(longSend, 0);
    ASSERT_GT(toB, 0);

    runClockFrom(QTime(10, 16, 58, 500));
    ASSERT_TRUE(engine->start(journals));
    ASSERT_TRUE(eventually([&] { return stateOf(longSend) == "running" && stateOf(toB) == "running"; }, 10000));
    EXPECT_EQ(stateOf(secondToA), "waiting") << "maxperhost 1: host A is busy";
    EXPECT_EQ(stateOf(inside), "waiting") << "tank/a/b lies inside the tree being sent";

    // The incremental to B starts within 2 s of its minute and ends while
    // the long send goes on.
    ASSERT_TRUE(eventually([&] { return ended(toB); }, 30000));
    const RunRecord incremental = newestRun(toB);
    EXPECT_EQ(incremental.outcome, "succeeded") << incremental.error.toStdString();
    EXPECT_EQ(incremental.kind, "incremental");
    EXPECT_LE(incremental.started - at(QTime(10, 17)), 2);
    EXPECT_EQ(stateOf(longSend), "running");
    EXPECT_EQ(stateOf(secondToA), "waiting");
    // Its own figures in the listing, while the other mission waits.
    EXPECT_TRUE(eventually([&] { return listed(longSend).value("bytes").toInt() > 0 && listed(longSend).contains("speed"); },
                           20000))
        << QJsonDocument(listed(longSend)).toJson().toStdString();
    EXPECT_EQ(stateOf(secondToA), "waiting");

    ASSERT_TRUE(eventually([&] { return ended(longSend); }, 120000));
    ASSERT_TRUE(eventually([&] { return ended(secondToA) && ended(inside); }, 60000));
    const RunRecord full = newestRun(longSend);
    const RunRecord second = newestRun(secondToA);
    const RunRecord exported = newestRun(inside);
    EXPECT_EQ(full.outcome, "succeeded") << full.error.toStdString();
    EXPECT_EQ(second.outcome, "succeeded") << second.error.toStdString();
    EXPECT_EQ(exported.outcome, "succeeded") << exported.error.toStdString();
    std::printf("figures: incremental to B started %llds after its minute and took %llds; the full send to A "
                "took %llds; the second to A started %llds after its end, the export %llds after it\n",
                static_cast<long long>(incremental.started - at(QTime(10, 17))),
                static_cast<long long>(incremental.ended - incremental.started),
                static_cast<long long>(full.ended - full.started), static_cast<long long>(second.started - full.ended),
                static_cast<long long>(exported.started - full.ended));
    EXPECT_GE(full.ended - full.started, 60) << "the throttled send lasted a minute";
    EXPECT_GE(second.started, full.ended);
    EXPECT_LE(second.started - full.ended, 2) << "the second mission to A starts within 2 s of the first one's end";
    EXPECT_GE(exported.started, full.ended) << "the export and the send never overlap";
    EXPECT_LT(incremental.ended, full.ended);
    EXPECT_EQ(remote2Digest("backup/b"), localDigest("tank/b"));
    EXPECT_EQ(remoteDigest("backup/a"), localDigest("tank/a"));
}

// Two runs going, one to each host, both throttled: cancel and remove end
// only their own run.
TEST_F(ParallelE2e, CancelAndRemoveActOnOneOfTwoRunsGoing)
{
    for (const QString &name : QStringList{"x", "y", "z"}) {
        ASSERT_TRUE(tb::localZfs({"create", "tank/" + name}).ok());
        tb::writeRandomFile(tb::localPath("tank/" + name) + "/big.bin", 4 << 20, 340 + name.at(0).unicode());
    }
    setLimits(4, 1);
    const int x = append(yearly(mission(1, {{"caption", "x to A"}, {"name", "x"}, {"ratelimit", kRate}})));
    const int y = append(yearly(onHost2(mission(1, {{"caption", "y to B"}, {"name", "y"}, {"ratelimit", kRate}}))));
    const int z = append(yearly(onHost2(mission(1, {{"caption", "z to B"}, {"name", "z"}, {"ratelimit", kRate}}))));
    runClockFrom(QTime(10, 20, 0));
    ASSERT_TRUE(engine->start(journals));
    auto streaming = [&](int msnno) { return listed(msnno).value("bytes").toInt() > 0; };

    TQ2Journals asked;
    ASSERT_TRUE(engine->scheduler().runNow(asked, x)) << asked.errmsg().toStdString();
    ASSERT_TRUE(engine->scheduler().runNow(asked, y)) << asked.errmsg().toStdString();
    ASSERT_TRUE(engine->scheduler().runNow(asked, z)) << asked.errmsg().toStdString();
    ASSERT_TRUE(eventually([&] { return streaming(x) && streaming(y); }, 20000));
    EXPECT_EQ(stateOf(z), "waiting");

    // Cancel x: only its run ends.
    TQ2Journals cancelling;
    ASSERT_TRUE(engine->scheduler().cancel(cancelling, x)) << cancelling.errmsg().toStdString();
    ASSERT_TRUE(eventually([&] { return ended(x); }, 10000));
    EXPECT_EQ(newestRun(x).outcome, "cancelled");
    EXPECT_EQ(stateOf(y), "running");

    // Remove y while it runs: its run ends, z (waiting for host B) starts.
    TQ2Journals removing;
    ASSERT_TRUE(engine->removeMission(removing, y)) << removing.errmsg().toStdString();
    ASSERT_TRUE(eventually([&] { return streaming(z); }, 20000));
    EXPECT_TRUE(listed(y).isEmpty());
    EXPECT_EQ(stateOf(x), "failed") << "its last run was cancelled";
    EXPECT_EQ(engine->dueTable().entries().value(x), QDateTime(QDate(2025, 1, 1), QTime(0, 0)).toSecsSinceEpoch())
        << "a scheduled mission keeps its schedule after a cancelled run";
    EXPECT_FALSE(tb::remote2Exists("backup/y") && !tb::remote2Snapshots("backup/y").isEmpty())
        << "the removed mission's cut stream left no replica with snapshots";
}

// The real service with maxparallel 4: SIGTERM while a run to each host goes
// records both as interrupted before it exits.
TEST_F(ParallelE2e, SigtermWithTwoRunsGoingRecordsBothInterrupted)
{
    Service::resetState();
    tb::writeRandomFile(tb::localPath("tank/data") + "/big.bin", 4 << 20, 350);
    ASSERT_TRUE(tb::localZfs({"create", "tank/p"}).ok());
    tb::writeRandomFile(tb::localPath("tank/p") + "/big.bin", 4 << 20, 351);
    const QJsonObject config{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"maxparallel", 4}, {"maxperhost", 1}};
    Service service;
    service.start(config);
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    auto records = [&] {
        return service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
    };
    auto add = [&](const QJsonObject &mission) {
        EXPECT_EQ(service.ctl("zfsrep_mission_append", yearly(mission)).exitCode, 0);
        return records().last().toObject().value("msnno").toInt();
    };
    const int toA = add(mission(1, {{"caption", "data to A"}, {"name", "data"}, {"ratelimit", kRate}, {"port", tb::port()}}));
    const int toB = add(onHost2(mission(1, {{"caption", "p to B"}, {"name", "p"}, {"ratelimit", kRate}})));
    ASSERT_NE(toA, toB);
    ASSERT_EQ(service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", toA}}).exitCode, 0);
    const Service::Call second = service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", toB}});
    ASSERT_EQ(second.exitCode, 0) << "with more slots a second run is not refused: "
                                  << QJsonDocument(second.response).toJson().toStdString();
    auto streams = [&](int msnno) {
        for (const QJsonValue &value : records()) {
            if (value.toObject().value("msnno").toInt() == msnno)
                return value.toObject().value("bytes").toInt() > 0;
        }
        return false;
    };
    ASSERT_TRUE(eventually([&] { return streams(toA) && streams(toB); }, 20000)) << service.output().toStdString();

    ASSERT_EQ(service.stop(SIGTERM, 20000), 0) << service.output().toStdString();
    service.start(config);
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    for (int msnno : {toA, toB}) {
        const QJsonArray runs =
            service.ctl("zfsrep_mission_history", QJsonObject{{"msnno", msnno}}).response.value("results").toArray();
        ASSERT_FALSE(runs.isEmpty());
        EXPECT_EQ(runs.at(0).toObject().value("outcome").toString(), "interrupted") << msnno;
        EXPECT_FALSE(runs.at(0).toObject().value("error").toString().isEmpty()) << "the stop's own message";
    }
    EXPECT_EQ(service.stop(SIGTERM, 20000), 0);
    QFile::remove(tb::localPath("tank/data") + "/big.bin");
}

} // namespace
