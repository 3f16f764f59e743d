#include "mxzfsrep.h"
#include "pvmeter.h"
#include "runprogress.h"
#include "stageoutput.h"

#include <gtest/gtest.h>

namespace {

struct ProgressCase {
    const char *name;
    QByteArray buffer;
    QString speed; // expected; "old" means unchanged
    int rate;      // expected; -1 means unchanged
};

TEST(TakeProgress, ReadsTheNewestDisplayLine)
{
    const ProgressCase cases[] = {
        {"single update at the line start", "[1.23MiB/s] [=====>      ] 45%", "1.23MiB/s", 45},
        {"padded rate", "[ 372MiB/s] [====================>] 100%\r\r\n", "372MiB/s", 100},
        {"several updates, last one counts",
         "[18.5MiB/s] [=======>       ] 13%\r[20.1MiB/s] [===============>] 26%\r", "20.1MiB/s", 26},
        {"rate preceded by other fields", "2.00MiB 0:00:02 [1.00MiB/s] [==>   ] 34% ETA 0:00:03\r", "old", -1},
        {"line not ending in %", "[1.0MiB/s] [==] 45%\r\ncannot receive: failed\r\n", "old", -1},
        {"bracket space digit percent gives 0", "[1.0MiB/s] [====] 7%", "1.0MiB/s", 0},
        {"over 100 is clamped", "[1.0MiB/s] [=====] 120%", "1.0MiB/s", 100},
        {"tabs count as spaces", "[1.0MiB/s]\t[==]\t 9%", "1.0MiB/s", 9},
        {"earlier lines are ignored", "[2.0MiB/s] [==] 50%\r\n[3.0MiB/s] [===] 60%\r", "3.0MiB/s", 60},
        {"empty buffer", "", "old", -1},
        {"only line feeds", "\n\n", "old", -1},
        {"text after a NUL is ignored", QByteArray("[1.0MiB/s] [==] 10%\0[9.9MiB/s] [==] 99%", 38), "1.0MiB/s", 10},
        {"long rate with [ on the window's first character", "[12345.7MB/s] [==] 10%", "old", 10},
        {"rate far from the line start", "xxxxxxxxxx\r[ 942KiB/s] [=>   ]  3%", "942KiB/s", 3},
    };
    MXZfsrep engine;
    for (const ProgressCase &c : cases) {
        SCOPED_TRACE(c.name);
        QString speed = "old";
        int rate = -1;
        QByteArray buffer = c.buffer;
        StageOutput::takeProgress(speed, rate, buffer);
        EXPECT_EQ(speed, c.speed);
        EXPECT_EQ(rate, c.rate);
        EXPECT_FALSE(buffer.contains('\t'));
    }
}

TEST(StageErrorText, PrefersStandardErrorElseTerminalWithoutDisplay)
{
    EXPECT_EQ(StageOutput::errorText("[1MiB/s] [=] 5%\r", "bad thing\n"), "bad thing");
    const QByteArray terminal =
        "Warning: Permanently added '[127.0.0.1]:2222' (ED25519) to the list of known hosts.\r\r\n"
        "[ 372MiB/s] [=====>   ] 45%\r[ 372MiB/s] [=====>   ] 46%\r"
        "cannot receive incremental stream: destination backup/data has been modified\r\n"
        "since most recent snapshot\r\n"
        "\r\nSession terminated, killing shell... ...killed.\n";
    EXPECT_EQ(StageOutput::errorText(terminal, QByteArray()),
              "Warning: Permanently added '[127.0.0.1]:2222' (ED25519) to the list of known hosts.\n"
              "cannot receive incremental stream: destination backup/data has been modified\n"
              "since most recent snapshot");
    EXPECT_EQ(StageOutput::errorText("[1MiB/s] [=] 100%\r\r\n", ""), "");
}

} // namespace

namespace {

int publishedRate(const RunProgress &progress) { return progress.toJson().value("rate").toInt(); }

} // namespace

TEST(RunProgressAcrossStages, ThePercentageNeverGoesBack)
{
    // Two streams: 1000 bytes announced, then a second one of 3000 whose
    // size is learnt only when it starts.
    RunProgress progress(7, 1);
    QList<int> shown;
    progress.beginStage(0, 1000);
    shown << publishedRate(progress);
    PvMeter first(1000);
    for (const QByteArray &line : {QByteArray("1.0 340\n"), QByteArray("2.0 990\n")}) {
        first.feed(line, 1000);
        progress.meter(first);
        shown << publishedRate(progress);
    }
    progress.beginStage(990, 990 + 3000);
    shown << publishedRate(progress);
    PvMeter second(3000);
    for (const QByteArray &line : {QByteArray("1.0 1000\n"), QByteArray("2.0 2500\n"), QByteArray("3.0 3000\n")}) {
        second.feed(line, 3000);
        progress.meter(second);
        shown << publishedRate(progress);
        EXPECT_EQ(progress.toJson().value("total").toInt(), 3990) << "total describes the whole run";
    }
    progress.complete();
    shown << publishedRate(progress);
    for (int i = 1; i < shown.size(); ++i)
        EXPECT_GE(shown.at(i), shown.at(i - 1)) << "step " << i;
    EXPECT_EQ(shown.value(2), 99);
    EXPECT_EQ(shown.last(), 100);
    EXPECT_EQ(progress.toJson().value("bytes").toInt(), 3990);
}
