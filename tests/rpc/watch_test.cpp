#include "terminal.h"
#include "missiondetail.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <QJsonObject>

#include <clocale>
#include <string>

namespace {

TEST(Watch, ProgressBarFillsByPercent)
{
    EXPECT_EQ(progressBar(0, 12), "[          ]");
    EXPECT_EQ(progressBar(50, 12), "[=====>    ]");
    EXPECT_EQ(progressBar(100, 12), "[==========]");
    EXPECT_EQ(progressBar(250, 12), "[==========]");
    EXPECT_EQ(progressBar(-5, 12), "[          ]");
}

TEST(Watch, RunningMissionGetsABar)
{
    const QJsonArray records{
        QJsonObject{{"msnno", 1}, {"caption", "Nightly"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                    {"host", "10.0.0.2"}, {"port", "22"}, {"path", "backup"}, {"done", 0}, {"finishedtime", ""},
                    {"rate", 45}, {"speed", "12.3MiB/s"}},
        QJsonObject{{"msnno", 2}, {"caption", "Restore"}, {"action", 4}, {"pool", "tank"}, {"name", "copy"},
                    {"path", "/backup/tank/data@x.gz.zsa"}, {"done", 1}, {"finishedtime", "2026-12-07 20:41:00"}},
    };
    const QStringList lines = renderMissions(records, 100).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines.at(0), "#1 Nightly  send  tank/data -> 10.0.0.2:22/backup  running");
    EXPECT_TRUE(lines.at(1).contains("=>")) << lines.at(1).toStdString();
    EXPECT_TRUE(lines.at(1).endsWith(" 45%  12.3MiB/s"));
    EXPECT_EQ(lines.at(2),
              "#2 Restore  restore  /backup/tank/data@x.gz.zsa -> tank/copy  done  last run 2026-12-07 20:41:00");
    EXPECT_EQ(renderMissions(QJsonArray(), 80), "no missions\n");
}


// 2026-12-07 20:41:00 and 2026-12-08 02:30:00 UTC.
constexpr qint64 kLastRun = 1796676060;
constexpr qint64 kNextRun = 1796697000;

QJsonObject sendMission(int msnno, const QString &caption)
{
    return QJsonObject{{"msnno", msnno}, {"caption", caption}, {"action", 1}, {"pool", "tank"},
                       {"name", "data"}, {"host", "10.0.0.2"}, {"port", 22}, {"path", "backup"},
                       {"done", 0}, {"finishedtime", "2026-12-07 20:41:00"}};
}

QStringList viewLines(const QJsonArray &records, int width)
{
    return renderMissions(records, width, Qt::UTC).split('\n', Qt::SkipEmptyParts);
}

TEST(Watch, FailedRunShowsFailedWithTheFirstLineOfItsError)
{
    QJsonObject failed = sendMission(3, "Nightly");
    failed.insert("state", "failed");
    failed.insert("lastrun", kLastRun);
    failed.insert("lastresult", "failed");
    failed.insert("lasterror", "\ncannot open 'nopool/data': dataset does not exist\nusage:\n\tsend [-DLPbcehnpsvw]");
    failed.insert("nextrun", kNextRun);
    QJsonObject armed = sendMission(4, "Hourly");
    armed.insert("state", "armed");
    armed.insert("lastrun", kLastRun);
    armed.insert("lastresult", "stalled");
    armed.insert("lasterror", "no progress for 600 s");
    armed.insert("nextrun", 0);
    QJsonObject fine = sendMission(5, "Weekly");
    fine.insert("state", "done");
    fine.insert("lastrun", kLastRun);
    fine.insert("lastresult", "succeeded");
    fine.insert("lasterror", "");

    const QStringList lines = viewLines({failed, armed, fine}, 200);
    ASSERT_EQ(lines.size(), 5) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.at(0), "#3 Nightly  send  tank/data -> 10.0.0.2:22/backup  failed  last run 2026-12-07 20:41:00"
                           "  next 2026-12-08 02:30:00");
    EXPECT_EQ(lines.at(1), "    error: cannot open 'nopool/data': dataset does not exist");
    EXPECT_EQ(lines.at(2), "#4 Hourly  send  tank/data -> 10.0.0.2:22/backup  armed  last run 2026-12-07 20:41:00 stalled");
    EXPECT_EQ(lines.at(3), "    error: no progress for 600 s");
    EXPECT_EQ(lines.at(4), "#5 Weekly  send  tank/data -> 10.0.0.2:22/backup  done  last run 2026-12-07 20:41:00 succeeded");
}

TEST(Watch, RunningMissionShowsBytesOfTotalSpeedAndEta)
{
    const struct {
        const char *name;
        QJsonObject extra;
        QString tail;
    } cases[] = {
        {"bytes of total and eta", {{"bytes", 1288490188LL}, {"total", 2899102924LL}, {"eta", 125}},
         " 45%  1.2 GiB of 2.7 GiB  12.3MiB/s  ETA 2m05s"},
        {"total and eta unknown", {{"bytes", 1536}, {"total", 0}, {"eta", -1}}, " 45%  1.5 KiB  12.3MiB/s"},
        {"older service", {}, " 45%  12.3MiB/s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QJsonObject m = sendMission(1, "Nightly");
        m.insert("rate", 45);
        m.insert("speed", "12.3MiB/s");
        for (auto it = c.extra.begin(); it != c.extra.end(); ++it)
            m.insert(it.key(), it.value());
        const QStringList lines = viewLines({m}, 100);
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines.at(0).endsWith("  running  last run 2026-12-07 20:41:00")) << lines.at(0).toStdString();
        EXPECT_TRUE(lines.at(1).startsWith("    [====")) << lines.at(1).toStdString();
        EXPECT_TRUE(lines.at(1).endsWith(c.tail)) << lines.at(1).toStdString();
        EXPECT_EQ(textColumns(lines.at(1)), 99);
    }
}

TEST(Watch, EveryLineFitsTheWidthAndTheStateStaysVisible)
{
    QJsonObject failed = sendMission(3, "Nightly");
    failed.insert("path", "backup/very/deep/parent/dataset/of/the/remote/host");
    failed.insert("state", "failed");
    failed.insert("lastrun", kLastRun);
    failed.insert("lastresult", "failed");
    failed.insert("lasterror", "gzip: stdout: No space left on device, and a long tail to be cut off here");
    failed.insert("nextrun", kNextRun);
    QJsonObject running = sendMission(7, "Running");
    running.insert("state", "running");
    running.insert("rate", 99);
    running.insert("speed", "812MiB/s");
    running.insert("bytes", 1288490188LL);
    running.insert("total", 2899102924LL);
    running.insert("eta", 3725);
    for (const int width : {20, 30, 40, 50, 60, 80, 100, 120, 200}) {
        SCOPED_TRACE(width);
        const QStringList lines = viewLines({failed, running}, width);
        ASSERT_EQ(lines.size(), 4);
        for (const QString &line : lines)
            EXPECT_LE(textColumns(line), width) << line.toStdString();
        if (width >= 40) {
            EXPECT_TRUE(lines.at(1).startsWith("    error: gzip")) << lines.at(1).toStdString();
        }
        // The route keeps its dataset and host; from 60 columns the state
        // follows them.
        if (width >= 60) {
            EXPECT_TRUE(lines.at(0).contains("tank/data -> 10.0.0.2")) << lines.at(0).toStdString();
            EXPECT_TRUE(lines.at(0).contains("  failed")) << lines.at(0).toStdString();
            EXPECT_TRUE(lines.at(2).contains("  running")) << lines.at(2).toStdString();
        }
        // The route gives way before the times, but not below dataset and
        // host: then the end of the line is cut.
        if (width >= 80 && width <= 100) {
            EXPECT_TRUE(lines.at(0).contains("tank/data -> 10.0.0.2  failed  last run 2026-12-07 20:41:00"))
                << lines.at(0).toStdString();
        }
        if (width >= 120) {
            EXPECT_TRUE(lines.at(0).contains("send  tank/data -> 10.0.")) << lines.at(0).toStdString();
            EXPECT_TRUE(lines.at(0).endsWith("  next 2026-12-08 02:30:00")) << lines.at(0).toStdString();
        }
    }
    // Wide enough: nothing is shortened.
    const QStringList wide = viewLines({failed}, 300);
    EXPECT_TRUE(wide.at(0).contains("10.0.0.2:22/backup/very/deep/parent/dataset/of/the/remote/host  failed"));
    EXPECT_TRUE(wide.at(1).endsWith("cut off here"));
}

TEST(Watch, FitsAndElidesTextByColumns)
{
    const struct {
        const char *name;
        QString text;
        int width;
        QString fitted;
        QString elided;
    } cases[] = {
        {"fits", "tank/data", 9, "tank/data", "tank/data"},
        {"one too long", "tank/data1", 9, "tank/d...", "tan...ta1"},
        {"long path", "tank/a -> host:22/backup/x", 12, "tank/a ->...", "tank/...up/x"},
        {"no room", "abcdef", 2, "..", ".."},
        {"empty", "", 5, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fitText(c.text, c.width), c.fitted);
        EXPECT_EQ(elideMiddle(c.text, c.width), c.elided);
        EXPECT_LE(textColumns(fitText(c.text, c.width)), c.width);
        EXPECT_LE(textColumns(elideMiddle(c.text, c.width)), c.width);
    }
}

TEST(Watch, ChoosesTheTerminalWidthThenColumnsThenTheFallback)
{
    const struct {
        const char *name;
        int terminal;
        QByteArray env;
        int expected;
    } cases[] = {
        {"terminal wins", 132, "80", 132},
        {"no terminal uses COLUMNS", 0, "72", 72},
        {"COLUMNS with blanks", 0, " 90\n", 90},
        {"COLUMNS not a number", 0, "wide", kFallbackColumns},
        {"COLUMNS zero", 0, "0", kFallbackColumns},
        {"COLUMNS negative", 0, "-40", kFallbackColumns},
        {"nothing", 0, "", kFallbackColumns},
        {"tiny terminal is raised", 8, "", kMinimumColumns},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseColumns(c.terminal, c.env, kFallbackColumns), c.expected);
    }
}

TEST(Watch, FormatsSizesDurationsAndFirstLines)
{
    const struct {
        qint64 bytes;
        const char *text;
    } sizes[] = {{0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"},
                 {12897484, "12.3 MiB"}, {1099511627776LL, "1.0 TiB"}, {9223372036854775807LL, "8.0 EiB"}};
    for (const auto &c : sizes) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(formatBytes(c.bytes), c.text);
    }
    const struct {
        qint64 seconds;
        const char *text;
    } durations[] = {{0, "0s"}, {59, "59s"}, {60, "1m00s"}, {125, "2m05s"}, {3600, "1h00m"},
                     {3725, "1h02m"}, {86400, "1d00h"}, {273600, "3d04h"}, {-1, "?"}};
    for (const auto &c : durations) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(formatDuration(c.seconds), c.text);
    }
    EXPECT_EQ(firstLine("\n  \n  Permission denied  \nmore"), "Permission denied");
    EXPECT_EQ(firstLine(""), "");
    EXPECT_EQ(formatTime(kLastRun, Qt::UTC), "2026-12-07 20:41:00");
}

TEST(Watch, OlderServiceRecordsKeepTheirStates)
{
    const struct {
        const char *name;
        QJsonObject record;
        const char *state;
    } cases[] = {
        {"running by speed", {{"speed", "1MiB/s"}, {"rate", 3}}, "running"},
        {"done", {{"done", 1}, {"finishedtime", "2026-12-07 20:41:00"}}, "done"},
        {"armed after a run", {{"done", 0}, {"finishedtime", "2026-12-07 20:41:00"}}, "armed"},
        {"never ran", {{"done", 0}, {"finishedtime", ""}}, "waiting"},
        {"service state wins", {{"state", "pending"}, {"finishedtime", "x"}}, "pending"},
        {"a cancelled last run reads cancelled", {{"state", "failed"}, {"lastresult", "cancelled"}}, "cancelled"},
        {"a failed last run stays failed", {{"state", "failed"}, {"lastresult", "failed"}}, "failed"},
        {"a stall stays failed", {{"state", "failed"}, {"lastresult", "stalled"}}, "failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(missionState(c.record), c.state);
    }
}

TEST(Watch, ReadsItsOptions)
{
    WatchOptions options;
    QString error;
    ASSERT_TRUE(parseWatchOptions({"--interval", "5", "--once", "--until-finished", "3", "--width", "60", "--json"},
                                  options, error));
    EXPECT_EQ(options.intervalMs, 5000);
    EXPECT_TRUE(options.once);
    EXPECT_EQ(options.untilFinished, 3);
    EXPECT_EQ(options.width, 60);
    EXPECT_TRUE(options.json);

    const QStringList bad[] = {{"--interval"}, {"--interval", "0"}, {"--width", "-1"}, {"--until-finished", "x"},
                               {"--interval", "9999999"}, {"--fast"}, {"0"}, {"x"}, {"3", "4"}};
    for (const QStringList &args : bad) {
        SCOPED_TRACE(args.join(' ').toStdString());
        WatchOptions rejected;
        EXPECT_FALSE(parseWatchOptions(args, rejected, error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(Watch, AMissionNumberWatchesThatMissionAlone)
{
    WatchOptions options;
    QString error;
    ASSERT_TRUE(parseWatchOptions({"7", "--once"}, options, error)) << error.toStdString();
    EXPECT_EQ(options.mission, 7);
    EXPECT_TRUE(options.once);
}

TEST(Watch, RunningMissionsComeFirstAndOneMissionAlone)
{
    QJsonObject idle = sendMission(3, "Idle");
    idle.insert("state", "armed");
    QJsonObject running = sendMission(7, "Running");
    running.insert("state", "running");
    QJsonObject failed = sendMission(9, "Failed");
    failed.insert("state", "failed");
    QJsonObject second = sendMission(11, "Second");
    second.insert("state", "running");
    auto numbers = [](const QJsonArray &records) {
        QList<int> out;
        for (const QJsonValue &value : records)
            out.append(value.toObject().value("msnno").toInt());
        return out;
    };
    const QJsonArray all{idle, running, failed, second};
    EXPECT_EQ(numbers(watchedRecords(all, 0)), (QList<int>{7, 11, 3, 9}));
    EXPECT_EQ(numbers(watchedRecords(all, 9)), (QList<int>{9}));
    EXPECT_EQ(numbers(watchedRecords(all, 5)), (QList<int>{}));
    EXPECT_EQ(numbers(watchedRecords(QJsonArray(), 0)), (QList<int>{}));

    // Missions waiting for a run slot come right after the running ones.
    QJsonObject waiting = sendMission(5, "Waiting");
    waiting.insert("state", "waiting");
    const QJsonArray withWaiting{idle, waiting, running, failed, second};
    EXPECT_EQ(numbers(watchedRecords(withWaiting, 0)), (QList<int>{7, 11, 5, 3, 9}));
    EXPECT_EQ(numbers(watchedRecords(withWaiting, 5)), (QList<int>{5}));
}

TEST(Watch, AnAddressIsCutOnlyWhenTheLineWouldWrapAndKeepsHostAndDataset)
{
    QJsonObject m = sendMission(3, "Nightly");
    m.insert("host", "backup1.example.org");
    m.insert("port", 45866);
    m.insert("path", "backup/replicas/of/tank");
    m.insert("state", "armed");
    m.remove("finishedtime");
    const struct {
        int width;
        const char *route; // what the line shows of the route
    } cases[] = {
        {200, "tank/data -> backup1.example.org:45866/backup/replicas/of/tank  armed"},
        {70, "tank/data -> backup1.example.org:4586.../tank  armed"},
        {60, "tank/data -> backup1.example.org  armed"},
        // Too narrow for dataset and host: the end of the line is cut.
        {30, "#3 Nightly  send  tank/data..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.width);
        const QStringList lines = viewLines({m}, c.width);
        ASSERT_EQ(lines.size(), 1);
        EXPECT_LE(textColumns(lines.at(0)), c.width);
        EXPECT_TRUE(lines.at(0).contains(c.route)) << lines.at(0).toStdString();
    }
}

TEST(Watch, HistoryShowsEveryRunWithItsWholeError)
{
    const QJsonArray runs{
        QJsonObject{{"runno", 12}, {"msnno", 3}, {"caption", "Nightly"}, {"action", 1}, {"kind", "incremental"},
                    {"started", kLastRun}, {"ended", kLastRun + 125}, {"outcome", "failed"},
                    {"error", "cannot receive incremental stream:\ndestination tank/data has been modified\n"},
                    {"bytes", 1536}, {"rate", 12}, {"base", "ZFSREP-1"}, {"target", "ZFSREP-2"}},
        QJsonObject{{"runno", 9}, {"msnno", 3}, {"caption", "Nightly"}, {"action", 1}, {"kind", "full"},
                    {"started", kLastRun - 86400}, {"ended", 0}, {"outcome", "running"}, {"error", ""},
                    {"bytes", 0}, {"rate", 0}, {"base", ""}, {"target", "ZFSREP-1"}},
    };
    EXPECT_EQ(renderHistory(runs, Qt::UTC).toStdString(),
              "RUN  STARTED              TOOK   KIND         OUTCOME  BYTES    RATE    SNAPSHOTS\n"
              "12   2026-12-07 20:41:00  2m05s  incremental  failed   1.5 KiB  12 B/s  ZFSREP-1 -> ZFSREP-2\n"
              "    error: cannot receive incremental stream:\n"
              "           destination tank/data has been modified\n"
              "9    2026-12-06 20:41:00  -      full         running  0 B      0 B/s   ZFSREP-1\n");
    EXPECT_EQ(renderHistory(QJsonArray(), Qt::UTC), "no runs\n");
}

TEST(Watch, HistoryNamesTheFileAnExportWrote)
{
    const QJsonArray runs{
        QJsonObject{{"runno", 5}, {"kind", "export"}, {"started", kLastRun}, {"ended", kLastRun + 4},
                    {"outcome", "succeeded"}, {"bytes", 2048}, {"rate", 512}, {"target", "ZFSREP-2"},
                    {"file", "/tarn/exports/tank/data@ZFSREP-2.gz.zsa"}},
        QJsonObject{{"runno", 4}, {"kind", "export"}, {"started", kLastRun - 60}, {"ended", kLastRun - 59},
                    {"outcome", "failed"}, {"error", "No space left on device"}, {"file", ""}},
    };
    EXPECT_EQ(renderHistory(runs, Qt::UTC).toStdString(),
              "RUN  STARTED              TOOK  KIND    OUTCOME    BYTES    RATE     SNAPSHOTS  FILE\n"
              "5    2026-12-07 20:41:00  4s    export  succeeded  2.0 KiB  512 B/s  ZFSREP-2   "
              "/tarn/exports/tank/data@ZFSREP-2.gz.zsa\n"
              "4    2026-12-07 20:40:00  1s    export  failed     0 B      0 B/s               -\n"
              "    error: No space left on device\n");
    EXPECT_EQ(newestFile(runs), "/tarn/exports/tank/data@ZFSREP-2.gz.zsa");
    EXPECT_EQ(newestFile(QJsonArray{runs.at(1)}), "");
    QJsonObject exportMission{{"msnno", 5}, {"caption", "files"}, {"action", 3}, {"pool", "tank"}, {"name", "data"},
                              {"path", "/tarn/exports"}, {"lastfile", newestFile(runs)}};
    EXPECT_NE(renderMissionDetail(exportMission, Qt::UTC)
                  .indexOf("  last file   /tarn/exports/tank/data@ZFSREP-2.gz.zsa\n"),
              -1);
}


TEST(Watch, WideCharactersCountTwoColumns)
{
    struct Restore {
        std::string saved = std::setlocale(LC_CTYPE, nullptr);
        ~Restore() { std::setlocale(LC_CTYPE, saved.c_str()); }
    } restore;
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale to measure wide characters with";
    EXPECT_EQ(textColumns(QString::fromUtf8("任务")), 4);
    EXPECT_EQ(fitText(QString::fromUtf8("任务名称不存在"), 7), QString::fromUtf8("任务..."));
    EXPECT_EQ(fitText(QString::fromUtf8("任务名称不存在"), 8), QString::fromUtf8("任务..."));
    EXPECT_EQ(elideMiddle(QString::fromUtf8("备份/任务/数据"), 9), QString::fromUtf8("备...数据"));
    const QStringList lines = viewLines({sendMission(1, QString::fromUtf8("每日备份任务"))}, 40);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_LE(textColumns(lines.at(0)), 40) << lines.at(0).toStdString();
    EXPECT_GT(textColumns(lines.at(0)), lines.at(0).size()) << "the caption's characters are wide";
}

} // namespace
