// Notices and hooks on the testbed, the engine driven in-process with its
// clock set by the test: a loopback HTTP receiver started here and a command
// get one failure notice for a failing run, one stale notice once the
// mission went two periods without a success, one recovery when it succeeds
// again, and nothing for a healthy mission; a receiver that never answers
// holds no run. A hook's pre and post run around the real snapshot (the
// snapshot holds what pre wrote, post removed it), a failing pre fails the
// run before any snapshot and post still runs, a hanging pre ends at its
// timeout or at a cancel.
#include "hookdefinition.h"
#include "tbharness.h"
#include "transferfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <mutex>

namespace {

// An HTTP server on 127.0.0.1 with an event loop of its own: every POST body
// is kept; it answers 200, or nothing at all when silent.
class Receiver : public QThread
{
public:
    explicit Receiver(bool silent) : silent(silent) {}
    ~Receiver() override
    {
        quit();
        wait();
    }

    quint16 listen()
    {
        start();
        for (int i = 0; i < 500 && port.load() == 0; ++i)
            QThread::msleep(10);
        return port.load();
    }
    QList<QJsonObject> notices() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return bodies;
    }
    int connections() const { return accepted.load(); }

protected:
    void run() override
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0))
            return;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++accepted;
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { read(socket); });
            }
        });
        port = server.serverPort();
        exec();
    }

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = buffers[socket];
        buffer.append(socket->readAll());
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        int length = 0;
        for (const QByteArray &line : buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        }
        if (buffer.size() < end + 4 + length)
            return;
        {
            std::lock_guard<std::mutex> guard(lock);
            bodies.append(QJsonDocument::fromJson(buffer.mid(end + 4, length)).object());
        }
        buffers.remove(socket);
        if (silent)
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
    }

    const bool silent;
    std::atomic<quint16> port{0};
    std::atomic<int> accepted{0};
    mutable std::mutex lock;
    QList<QJsonObject> bodies;
    QHash<QTcpSocket *, QByteArray> buffers;
};

// What the command form wrote: one line per notice, its ZFSREP_NOTICE
// variable, a blank and the JSON of its standard input.
QList<QPair<QString, QJsonObject>> commandNotices(const QString &file)
{
    QList<QPair<QString, QJsonObject>> notices;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return notices;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const int blank = line.indexOf(' ');
        if (blank > 0)
            notices.append({QString::fromUtf8(line.left(blank)), QJsonDocument::fromJson(line.mid(blank + 1)).object()});
    }
    return notices;
}

// "failure:3" for each notice, in order.
QStringList kinds(const QList<QJsonObject> &notices)
{
    QStringList result;
    for (const QJsonObject &notice : notices)
        result.append(notice.value("notice").toString() + ":" + QString::number(notice.value("msnno").toInt()));
    return result;
}

class NoticesE2e : public TransferE2e
{
protected:
    void TearDown() override
    {
        TransferE2e::TearDown();
        HookCatalogue::set({});
    }

    // Notices to `url` and to a command that appends to `commandFile`.
    void notifyTo(const QString &url, const QString &commandFile, const QStringList &on)
    {
        NoticeSettings settings;
        settings.url = url;
        if (!commandFile.isEmpty())
            settings.command = QStringList{"/bin/sh", "-c", "printf '%s ' \"$ZFSREP_NOTICE\" >> '" + commandFile
                                                                  + "'; cat >> '" + commandFile + "'"};
        settings.on = on;
        engine->setNotices(settings);
        engine->setStaleCheckInterval(100);
        engine->notices().post().timeoutMs = 2000;
        engine->notices().post().pausesMs = {100, 100};
    }

    // Runs a mission now and waits until its run is recorded; the run's record.
    RunRecord runNow(int msnno)
    {
        TQ2Journals asked;
        EXPECT_TRUE(engine->scheduler().runNow(asked, msnno)) << asked.errmsg().toStdString();
        RunRecord finished;
        EXPECT_TRUE(eventually([&] {
            QList<RunRecord> runs;
            engine->history().list(runs, msnno, 1);
            if (runs.isEmpty() || runs.first().outcome == "running")
                return false;
            finished = runs.first();
            return engine->scheduler().runningRecord().runno == 0;
        }, 60000));
        return finished;
    }

    // A daily 03:00 send of tank/<name> (period one day) on the testbed's
    // endpoint, or on a port where nothing listens.
    int dailySend(const QString &name, bool reachable)
    {
        makeLocalDataset(name, name.size());
        return append(mission(1, QJsonObject{{"caption", "daily " + name}, {"name", name},
                                             {"port", reachable ? QString::number(tb::port()) : QString("1")},
                                             {"schedules", QJsonArray{QJsonObject{{"hours", QJsonArray{3}},
                                                                                  {"minutes", QJsonArray{0}}}}}}));
    }
};

TEST_F(NoticesE2e, FailureStaleAndRecoveryOnceEachAndNothingForAHealthyMission)
{
    Receiver receiver(false);
    const quint16 port = receiver.listen();
    ASSERT_GT(port, 0);
    const QString commandFile = scratch + "/notices.txt";
    notifyTo(QStringLiteral("http://127.0.0.1:%1/zfsrep").arg(port), commandFile, {"failure", "recovery", "stale"});
    // The clock stays in minute 15 of the hour: only runNow runs anything.
    setNow(QTime(10, 15, 0));
    const int broken = dailySend("broken", false);
    const int healthy = dailySend("healthy", true);
    ASSERT_TRUE(broken > 0 && healthy > 0);
    ASSERT_TRUE(engine->start(journals));
    QThread::msleep(300); // the staleness check has looked at both missions at 10:15:00

    setNow(QTime(10, 15, 40));
    EXPECT_EQ(runNow(healthy).outcome, "succeeded");
    const RunRecord failed = runNow(broken);
    EXPECT_EQ(failed.outcome, "failed");
    ASSERT_TRUE(eventually([&] { return receiver.notices().size() == 1 && commandNotices(commandFile).size() == 1; }));
    const QJsonObject failure = receiver.notices().first();
    EXPECT_EQ(failure.value("notice").toString(), "failure");
    EXPECT_EQ(failure.value("msnno").toInt(), broken);
    EXPECT_EQ(failure.value("runno").toInt(), failed.runno);
    EXPECT_EQ(failure.value("kind").toString(), "send");
    EXPECT_EQ(failure.value("source").toString(), "tank/broken");
    EXPECT_EQ(failure.value("outcome").toString(), "failed");
    EXPECT_FALSE(failure.value("error").toString().isEmpty());
    EXPECT_FALSE(QJsonDocument(failure).toJson().contains(tb::password().toUtf8()));
    ASSERT_TRUE(eventually([&] {
        QList<RunRecord> runs;
        engine->history().list(runs, broken, 1);
        return !runs.isEmpty() && runs.first().notified;
    }, 5000)) << "the run's record says its notice went out";

    // Two days later, minute 15 again: the broken mission has gone two
    // periods since it was first seen (10:15:00) without a success; the
    // healthy one succeeded at 10:15:40, 20 s short of two periods.
    setNow(QDateTime(kDay.addDays(2), QTime(10, 15, 20)));
    ASSERT_TRUE(eventually([&] { return receiver.notices().size() == 2; }, 10000));
    QThread::msleep(500); // five more looks: announced once
    EXPECT_EQ(kinds(receiver.notices()), (QStringList{"failure:" + QString::number(broken), "stale:" + QString::number(broken)}));

    // The host is reachable again: the first success is a recovery.
    QJsonObject repaired = row(broken);
    repaired.insert("port", QString::number(tb::port()));
    repaired.insert("schedules", QJsonDocument::fromJson(repaired.value("schedules").toString().toUtf8()).array());
    ASSERT_TRUE(engine->changeMission(journals, repaired)) << journals.errmsg().toStdString();
    EXPECT_EQ(runNow(broken).outcome, "succeeded");
    ASSERT_TRUE(eventually([&] { return receiver.notices().size() == 3 && commandNotices(commandFile).size() == 3; }));
    QThread::msleep(500);
    const QStringList expected{"failure:" + QString::number(broken), "stale:" + QString::number(broken),
                               "recovery:" + QString::number(broken)};
    EXPECT_EQ(kinds(receiver.notices()), expected);
    QList<QJsonObject> fromCommand;
    for (const auto &entry : commandNotices(commandFile)) {
        EXPECT_EQ(entry.first, entry.second.value("notice").toString()) << "ZFSREP_NOTICE matches the JSON";
        fromCommand.append(entry.second);
    }
    EXPECT_EQ(kinds(fromCommand), expected) << "the command form gets the same notices";
    EXPECT_EQ(receiver.notices().last().value("outcome").toString(), "succeeded");
}

TEST_F(NoticesE2e, ReceiverThatNeverAnswersHoldsNoRun)
{
    Receiver receiver(true);
    const quint16 port = receiver.listen();
    ASSERT_GT(port, 0);
    notifyTo(QStringLiteral("http://127.0.0.1:%1/").arg(port), QString(), {"failure"});
    engine->notices().post().timeoutMs = 10000;
    const int broken = dailySend("broken", false);
    ASSERT_TRUE(engine->start(journals));
    qint64 slowest = 0;
    qint64 previous = 0;
    for (int i = 0; i < 3; ++i) {
        TQ2Journals asked;
        ASSERT_TRUE(engine->scheduler().runNow(asked, broken)) << asked.errmsg().toStdString();
        // From the moment the run is recorded to the moment the scheduler
        // is free again: the notice's part of a run's end.
        QElapsedTimer clock;
        ASSERT_TRUE(eventually([&] {
            QList<RunRecord> runs;
            engine->history().list(runs, broken, 1);
            if (runs.size() != 1 || runs.first().runno <= previous || runs.first().outcome == "running")
                return false;
            previous = runs.first().runno;
            return true;
        }));
        clock.start();
        while (engine->scheduler().runningRecord().runno != 0 && clock.elapsed() < 5000)
            QThread::usleep(500);
        slowest = qMax(slowest, clock.elapsed());
    }
    EXPECT_TRUE(eventually([&] { return receiver.connections() >= 1 && !receiver.notices().isEmpty(); }, 5000))
        << "the receiver was reached and holds the request";
    EXPECT_LT(slowest, 100) << "a run's end waited " << slowest << " ms on the notice";
    QElapsedTimer stopping;
    stopping.start();
    engine->notices().stop();
    EXPECT_LT(stopping.elapsed(), 2000) << "a stop does not wait out the receiver";
}

class HooksE2e : public NoticesE2e
{
protected:
    void SetUp() override
    {
        NoticesE2e::SetUp();
        makeLocalDataset("db", 7);
        const QString dir = tb::localPath("tank/db");
        postMark = scratch + "/post-ran";
        const QStringList post{"/bin/sh", "-c", "echo \"$ZFSREP_PHASE $ZFSREP_SNAPSHOT\" >> '" + postMark + "'; rm -f '"
                                                    + dir + "/FROZEN'"};
        HookDefinition freeze{"freeze", {"/bin/sh", "-c", "echo \"$ZFSREP_SNAPSHOT\" > '" + dir + "/FROZEN'"}, post};
        HookDefinition failing{"failing", {"/bin/sh", "-c", "echo database busy >&2; exit 3"}, post};
        HookDefinition hanging{"hanging", {"/bin/sleep", "30"}, post, 1};
        HookDefinition endless{"endless", {"/bin/sleep", "60"}, post};
        HookCatalogue::set({{"freeze", freeze}, {"failing", failing}, {"hanging", hanging}, {"endless", endless}});
    }

    QJsonObject hooked(const QString &hook)
    {
        return mission(1, QJsonObject{{"msnno", 9}, {"name", "db"}, {"hook", hook}});
    }
    QString postRan() const
    {
        QFile f(postMark);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QString postMark;
};

TEST_F(HooksE2e, SnapshotHoldsWhatPreWroteAndPostRemovedIt)
{
    TQ2Journals sent;
    ASSERT_TRUE(drive->sendPool(sent, hooked("freeze"))) << journalText(sent).constData();
    const QStringList snapshots = localSnapshotNames("tank/db");
    ASSERT_EQ(snapshots.size(), 1);
    const QString snapshot = "tank/db@" + snapshots.first();
    EXPECT_TRUE(localDigest(snapshot).contains("FROZEN")) << "the snapshot holds the marker";
    EXPECT_FALSE(localDigest("tank/db").contains("FROZEN")) << "post removed it";
    QFile marker(tb::localPath(snapshot) + "/FROZEN");
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(marker.readAll()).trimmed(), snapshot) << "ZFSREP_SNAPSHOT named the snapshot taken";
    EXPECT_EQ(postRan().trimmed(), "post " + snapshot);
    EXPECT_TRUE(remoteDigest("backup/db").contains("random.bin"));
}

TEST_F(HooksE2e, FailingPreFailsBeforeAnySnapshotAndPostStillRan)
{
    TQ2Journals sent;
    EXPECT_FALSE(drive->sendPool(sent, hooked("failing")));
    EXPECT_TRUE(localSnapshotNames("tank/db").isEmpty());
    EXPECT_TRUE(sent.errmsg().contains("hook failing pre exited with status 3: database busy")) << sent.errmsg().toStdString();
    EXPECT_TRUE(postRan().startsWith("post tank/db@ZFSREP_")) << postRan().toStdString();
}

TEST_F(HooksE2e, HangingPreEndsAtItsTimeout)
{
    QElapsedTimer clock;
    clock.start();
    TQ2Journals sent;
    EXPECT_FALSE(drive->sendPool(sent, hooked("hanging")));
    EXPECT_LT(clock.elapsed(), 8000);
    EXPECT_TRUE(sent.errmsg().contains("hook hanging pre timed out after 1 s")) << sent.errmsg().toStdString();
    EXPECT_TRUE(localSnapshotNames("tank/db").isEmpty());
    EXPECT_FALSE(postRan().isEmpty()) << "post ran after the timed-out pre";
}

TEST_F(HooksE2e, CancelEndsAHangingHook)
{
    bool ok = true;
    QByteArray journal;
    const qint64 after = cancelledAfter(
        1500, [&](TQ2Journals &j) { return drive->sendPool(j, hooked("endless")); }, ok, journal);
    EXPECT_FALSE(ok);
    ASSERT_GE(after, 0) << "the cancel came";
    EXPECT_LT(after, 2000) << "the run ended " << after << " ms after the cancel";
    EXPECT_TRUE(localSnapshotNames("tank/db").isEmpty());
    EXPECT_FALSE(postRan().isEmpty()) << "post ran after the cancelled pre";
}

} // namespace
