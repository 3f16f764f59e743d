// The scheduler thread on the testbed, its clock set by the test: missions
// appended to the engine run at the change of the minute, move real data,
// and are armed again or retired by their action and outcome; the running
// mission's progress shows in the mission listing while a throttled
// transfer runs.
#include "tbharness.h"
#include "transferfixture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

namespace {

class Scheduler : public TransferE2e
{
protected:
    // Starts the scheduler at 10:15:20 and moves the clock to 10:16:00.
    void runFirstPass()
    {
        ASSERT_TRUE(engine->start(journals));
        QThread::msleep(300);
        setNow(QTime(10, 16, 0));
    }

    bool waitForRun(int msnno, int timeoutMs = 60000)
    {
        return eventually([&] { return !row(msnno).value("finishedtime").toString().isEmpty(); }, timeoutMs);
    }

    // The mission as the mission listing shows it.
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

    static qint64 at(const QTime &time) { return QDateTime(kDay, time).toSecsSinceEpoch(); }
};

// pv's rate text in MiB/s ("2.00MiB/s", "1.95MiB/s", "512KiB/s"); -1 when unreadable.
double mebibytesPerSecond(const QString &speed)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9.]+)([KMG]?i?)B/s$"));
    const QRegularExpressionMatch match = pattern.match(speed);
    if (!match.hasMatch())
        return -1;
    const double value = match.captured(1).toDouble();
    const QString unit = match.captured(2);
    if (unit == "Ki")
        return value / 1024;
    if (unit == "Mi")
        return value;
    if (unit == "Gi")
        return value * 1024;
    return value / (1024 * 1024);
}

// The command lines of every process of the testbed; `sshpass` tells whether
// a transfer stage was among them.
struct CommandLines {
    bool sawSshpass = false;
    bool sawPassword = false;
};

void scanCommandLines(CommandLines &seen, const QByteArray &password)
{
    for (const QString &pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile file("/proc/" + pid + "/cmdline");
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = file.readAll();
        seen.sawSshpass = seen.sawSshpass || line.contains("sshpass");
        seen.sawPassword = seen.sawPassword || line.contains(password);
    }
}

TEST_F(Scheduler, MissionWithoutSchedulesRunsAtTheFirstMinuteChangeOnce)
{
    makeLocalDataset("src", 81);
    const int msnno = append(mission(1, {{"caption", "Once"}}));
    ASSERT_GT(msnno, 0);
    EXPECT_TRUE(engine->dueTable().entries().contains(msnno));
    ASSERT_TRUE(engine->start(journals));
    QThread::msleep(300);
    EXPECT_EQ(row(msnno).value("finishedtime").toString(), "") << "nothing runs within the minute of the append";
    EXPECT_FALSE(tb::remoteExists("backup/src"));

    setNow(QTime(10, 16, 0));
    ASSERT_TRUE(waitForRun(msnno));
    EXPECT_EQ(row(msnno).value("done").toInt(), 1);
    EXPECT_EQ(remoteSnapshotNames("backup/src"), QStringList{"ZFSREP_20240304101600"});
    EXPECT_EQ(remoteDigest("backup/src"), localDigest("tank/src"));
    const QJsonArray records = events();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.at(0).toObject().value("level").toString(), "Information");
    EXPECT_EQ(records.at(0).toObject().value("caption").toString(), "Once");
    EXPECT_TRUE(engine->scheduler().progress().isEmpty());

    // The next pass drops it as done instead of running it again.
    setNow(QTime(10, 17, 0));
    ASSERT_TRUE(eventually([&] { return engine->dueTable().entries().isEmpty(); }));
    EXPECT_EQ(localSnapshotNames("tank/src"), QStringList{"ZFSREP_20240304101600"});
    EXPECT_EQ(events().size(), 1);
}

TEST_F(Scheduler, ScheduledSendIsArmedAgainForItsNextTime)
{
    makeLocalDataset("src", 82);
    const int msnno = append(mission(1, {{"caption", "Hourly"}, {"schedules", QJsonArray{QJsonObject{{"minutes", QJsonArray{16}}}}}}));
    ASSERT_GT(msnno, 0);
    EXPECT_EQ(engine->dueTable().entries().value(msnno), at(QTime(10, 16)));
    runFirstPass();
    ASSERT_TRUE(eventually([&] { return engine->dueTable().entries().value(msnno) == at(QTime(11, 16)); }, 60000))
        << engine->dueTable().entries().value(msnno);
    ASSERT_TRUE(waitForRun(msnno));
    EXPECT_EQ(row(msnno).value("done").toInt(), 0);
    EXPECT_EQ(remoteSnapshotNames("backup/src"), QStringList{"ZFSREP_20240304101600"});
    EXPECT_EQ(remoteDigest("backup/src"), localDigest("tank/src"));
    EXPECT_EQ(events().at(0).toObject().value("level").toString(), "Information");
}

TEST_F(Scheduler, ReceiveIsRetiredAfterItsRun)
{
    makeRemoteDataset("src");
    writeRemoteFile("backup/src", "pulled.bin", 300000, 83);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/src@s1"}).ok());
    const int msnno = append(mission(2, {{"caption", "Pull"}, {"name", "pulled"}, {"path", "backup/src"},
                                         {"schedules", QJsonArray{QJsonObject{{"minutes", QJsonArray{16}}}}}}));
    ASSERT_GT(msnno, 0);
    runFirstPass();
    ASSERT_TRUE(waitForRun(msnno));
    ASSERT_TRUE(eventually([&] { return !engine->dueTable().entries().contains(msnno); }));
    EXPECT_EQ(row(msnno).value("done").toInt(), 1);
    EXPECT_EQ(localDigest("tank/pulled"), remoteDigest("backup/src"));
    EXPECT_EQ(localSnapshotNames("tank/pulled"), QStringList{"s1"});
    EXPECT_EQ(events().at(0).toObject().value("message").toString(), "GLOG_ZFSREP_RECVPOOL: tank/pulled RECV backup/src");
}

TEST_F(Scheduler, ActionOutsideOneToFourRunsNothing)
{
    const int msnno = append(mission(7, {{"caption", "Unknown"}, {"name", "data"}}));
    ASSERT_GT(msnno, 0);
    runFirstPass();
    // Not run and not marked done: the row keeps its reason for the listing.
    ASSERT_TRUE(eventually([&] { return !engine->dueTable().problem(msnno).isEmpty(); }));
    EXPECT_EQ(engine->dueTable().problem(msnno), QString::fromUtf8("参数无效: action: 7"));
    EXPECT_EQ(row(msnno).value("done").toInt(), 0);
    EXPECT_EQ(row(msnno).value("finishedtime").toString(), "");
    EXPECT_FALSE(engine->dueTable().entries().contains(msnno));
    EXPECT_EQ(tb::localSnapshots("tank/data"), QStringList());
    EXPECT_EQ(tb::remoteZfs({"list", "-H", "-o", "name", "-r", "backup"}).out, "backup\n");
    EXPECT_EQ(events().size(), 0);
}

TEST_F(Scheduler, ThrottledTransferShowsItsSpeedAndRisingRateThenNothing)
{
    makeLocalDataset("src", 84);
    tb::writeRandomFile(tb::localPath("tank/src") + "/large.bin", 20 << 20, 85);
    tb::setLocalFault("send-rate", "2M"); // about 10 s for the full stream
    const int msnno = append(mission(1, {{"caption", "Watched"}}));
    ASSERT_GT(msnno, 0);
    runFirstPass();

    QList<int> rates;
    QStringList speeds;
    bool running = false;
    CommandLines commandLines;
    ASSERT_TRUE(eventually(
        [&] {
            const QJsonObject progress = engine->scheduler().progress();
            const QJsonObject record = listed(msnno);
            if (!record.value("finishedtime").toString().isEmpty())
                return true;
            if (progress.value("msnno").toInt() == msnno) {
                running = true;
                EXPECT_EQ(progress.value("action").toInt(), 1);
                scanCommandLines(commandLines, tb::password().toUtf8());
            }
            if (record.contains("rate")) {
                if (rates.isEmpty() || rates.last() != record.value("rate").toInt()) {
                    rates.append(record.value("rate").toInt());
                    speeds.append(record.value("speed").toString());
                }
            }
            return false;
        },
        90000));
    ASSERT_TRUE(running);
    const QString seen = QString("rates %1; speeds %2")
                             .arg([&] {
                                 QStringList texts;
                                 for (int rate : rates)
                                     texts.append(QString::number(rate));
                                 return texts.join(',');
                             }())
                             .arg(speeds.join(','));
    SCOPED_TRACE(seen.toStdString());
    printf("progress seen: %s\n", qPrintable(seen));
    int between = 0;
    for (int i = 0; i < rates.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(rates.at(i), rates.at(i - 1)) << "the rate never falls back";
        }
        if (rates.at(i) > 0 && rates.at(i) < 100) {
            ++between;
            const double speed = mebibytesPerSecond(speeds.at(i));
            EXPECT_GT(speed, 0.0) << speeds.at(i).toStdString();
            EXPECT_LT(speed, 3.0) << speeds.at(i).toStdString();
        }
    }
    EXPECT_GE(between, 2) << "a rising rate was seen while the stream ran";
    EXPECT_TRUE(commandLines.sawSshpass);
    EXPECT_FALSE(commandLines.sawPassword) << "the password is never on a command line";
    EXPECT_FALSE(QFile::exists("typescript")) << "script writes no transcript into the working directory";

    EXPECT_TRUE(engine->scheduler().progress().isEmpty());
    const QJsonObject after = listed(msnno);
    EXPECT_FALSE(after.contains("rate"));
    EXPECT_FALSE(after.contains("speed"));
    EXPECT_EQ(after.value("done").toInt(), 1);
    EXPECT_EQ(remoteDigest("backup/src"), localDigest("tank/src"));
}

} // namespace
