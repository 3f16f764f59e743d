// The stall watchdog on the testbed: a transfer that keeps moving is never
// ended, whatever the locale says about decimal points; one that stops moving
// is ended within the stall timeout, whether its sender hangs (export), or
// its whole stream has already passed pv and the receiving end crawls.
#include "tbharness.h"
#include "transferfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>

namespace {

using Watchdog = TransferE2e;

const QString kSource = "tank/src";
const QString kTarget = "backup/src";
constexpr int kStallSeconds = 3;
// What a stalled stage may take beyond the stall timeout: the one-second
// meter step, the end of the pipeline and the run's clean-up after it.
constexpr int kEndingSlackMs = 12000;

// Sets an environment variable until the end of the scope.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value) : name(name), had(qEnvironmentVariableIsSet(name))
    {
        saved = qgetenv(name);
        qputenv(name, value);
    }
    ~ScopedEnv() { had ? qputenv(name, saved) : qunsetenv(name); }

private:
    const char *name;
    bool had;
    QByteArray saved;
};

// Every file below `dir`, relative to it.
QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(dir).relativeFilePath(it.next()));
    return files;
}

// What `pv -n` prints under the current environment for a short stream.
QByteArray pvNumbers()
{
    QProcess pv;
    pv.start("bash", {"-c", "head -c 1000 /dev/zero | pv -f -n -b -t -i 1 2>&1 >/dev/null"});
    pv.waitForFinished(10000);
    return pv.readAllStandardOutput();
}

TEST_F(Watchdog, TransferLongerThanTheStallTimeoutSucceedsUnderADecimalCommaLocale)
{
    // The locale is compiled into the scratch directory (LOCPATH), so the
    // machine's own locales are left as they are.
    const QString locales = scratch + "/locales";
    QDir().mkpath(locales);
    if (QProcess::execute("localedef", {"-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"}) != 0)
        GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (package locales missing?)";
    ScopedEnv path("LOCPATH", QFile::encodeName(locales));
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    ScopedEnv all("LC_ALL", "de_DE.UTF-8");
    ASSERT_TRUE(pvNumbers().contains(',')) << "pv should print a decimal comma here: " << pvNumbers().constData();

    makeLocalDataset("src", 301);
    engine->settings().stallTimeoutSeconds = kStallSeconds;
    // About 790 kB at 100 kB/s: some eight seconds, more than twice the limit.
    tb::setLocalFault("send-rate", "100K");
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    EXPECT_GT(timer.elapsed(), 2 * kStallSeconds * 1000) << "the transfer should outlast the stall timeout";
    EXPECT_FALSE(drive->lastReplication().stalled);
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
    const QJsonObject progress = drive->lastRun()->progress().toJson();
    EXPECT_GT(progress.value("bytes").toDouble(), 700000) << "the meter read pv's numbers";
}

TEST_F(Watchdog, HungExportIsEndedAsStalledAndLeavesNoFile)
{
    makeLocalDataset("trip", 311);
    engine->settings().stallTimeoutSeconds = kStallSeconds;
    tb::setLocalFault("send-stall", "100000");
    const QString exportDir = scratch + "/export";
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(drive->sendFile(journals, mission(3, {{"caption", "Export"}, {"name", "trip"}, {"path", exportDir}})));
    EXPECT_LT(timer.elapsed(), kStallSeconds * 1000 + kEndingSlackMs);
    EXPECT_TRUE(journalText(journals).contains("stalled: no data for 3 s")) << journalText(journals).toStdString();
    EXPECT_EQ(filesBelow(exportDir), QStringList()) << "neither the final file nor a temporary one";
}

TEST_F(Watchdog, RestoreIntoACrawlingReceiveIsEndedAsStalled)
{
    makeLocalDataset("trip", 315);
    const QString exportDir = scratch + "/export";
    ASSERT_TRUE(drive->sendFile(journals, mission(3, {{"caption", "Export"}, {"name", "trip"}, {"path", exportDir}})))
        << journalText(journals).toStdString();
    const QStringList files = filesBelow(exportDir);
    ASSERT_EQ(files.size(), 1);

    engine->settings().stallTimeoutSeconds = kStallSeconds;
    tb::setLocalFault("recv-rate", "1");
    TQ2Journals restore;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(drive->recvFile(
        restore, mission(4, {{"caption", "Restore"}, {"name", "copy"}, {"path", exportDir + "/" + files.first()}})));
    EXPECT_LT(timer.elapsed(), kStallSeconds * 1000 + kEndingSlackMs);
    EXPECT_TRUE(journalText(restore).contains("stalled: no data for 3 s")) << journalText(restore).toStdString();
    tb::clearFaults();
    EXPECT_FALSE(tb::localZfs({"list", "tank/copy"}).ok()) << "nothing restored under the name";
}

TEST_F(Watchdog, CrawlingReceiveOfASmallIncrementalIsEndedEveryTime)
{
    makeLocalDataset("src", 321);
    ASSERT_TRUE(drive->sendPool(journals, mission(1))) << journalText(journals).toStdString();
    engine->settings().stallTimeoutSeconds = kStallSeconds;
    tb::setRemoteFault("recv-rate", "1");
    const QString dir = tb::localPath(kSource);
    constexpr int kRuns = 10;
    qint64 longestMs = 0;
    for (int i = 0; i < kRuns; ++i) {
        SCOPED_TRACE(i);
        // 1 MiB of new data: the whole stream fits into the pipe and ssh
        // buffers behind pv, so only the tail of the stage is left to watch.
        tb::writeRandomFile(dir + QStringLiteral("/more-%1.bin").arg(i), 1048576, 330 + i);
        setNow(QTime(11, i, 0));
        TQ2Journals run;
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(drive->sendPool(run, mission(1)));
        longestMs = qMax(longestMs, timer.elapsed());
        EXPECT_LT(timer.elapsed(), kStallSeconds * 1000 + kEndingSlackMs);
        EXPECT_TRUE(drive->lastReplication().stalled) << journalText(run).toStdString();
    }
    RecordProperty("longest_stalled_run_ms", static_cast<int>(longestMs));
    tb::clearFaults();
    setNow(QTime(12, 0, 0));
    TQ2Journals last;
    ASSERT_TRUE(drive->sendPool(last, mission(1))) << journalText(last).toStdString();
    EXPECT_EQ(remoteDigest(kTarget), localDigest(kSource));
}

} // namespace
