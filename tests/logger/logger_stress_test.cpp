#include "logger_test_support.h"

#include "tq2logger.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Lines look like "<stamp> Info p<producer> <seq>". Checks that producer p's
// lines are 0, 1, 2, ... without gaps or duplicates; with `complete` also that
// the last one is perProducer-1.
void checkLines(const QStringList &lines, int producers, int perProducer, bool complete)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Info p(\\d+) (\\d+)$"));
    std::vector<int> next(producers, 0);
    for (const QString &line : lines) {
        const QRegularExpressionMatch m = shape.match(line);
        ASSERT_TRUE(m.hasMatch()) << "torn or foreign line: " << line.toStdString();
        const int p = m.captured(1).toInt();
        const int seq = m.captured(2).toInt();
        ASSERT_LT(p, producers);
        ASSERT_EQ(seq, next[p]) << "producer " << p;
        next[p] = seq + 1;
    }
    if (complete) {
        for (int p = 0; p < producers; ++p)
            EXPECT_EQ(next[p], perProducer) << "producer " << p;
    }
}

void produce(TQ2Logger &logger, int producers, int perProducer)
{
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&logger, p, perProducer] {
            const QString label = QStringLiteral("p%1").arg(p);
            for (int seq = 0; seq < perProducer; ++seq)
                logger.write(TQ2Logger::Info, label, QString(), 0, "%d", seq);
        });
    }
    for (auto &t : threads)
        t.join();
}

// Eight producers against the writer thread, with rotation: every line is
// written exactly once, in each producer's order, and nothing is left queued.
TEST(TQ2LoggerStress, QueuedProducersLoseNothing)
{
    const int producers = 8;
    const int perProducer = 20000;
    QTemporaryDir dir;
    TQ2Logger logger;
    logger.setImmediate(false);
    logger.setFilePath(dir.filePath("stress.log"));
    logger.setMaxSize(512 * 1024);
    logger.setBackupCount(10000);
    produce(logger, producers, perProducer);
    ASSERT_TRUE(waitForIdle(logger, 120s)) << "lines left waiting: " << logger.queuedCount();
    int backups = 0;
    const QStringList lines = readAllGenerations(logger, &backups);
    EXPECT_EQ(lines.size(), producers * perProducer);
    checkLines(lines, producers, perProducer, true);
    EXPECT_GE(backups, 5);
    // The limit is checked against the line without its line feed, so a file
    // may end one byte past it.
    for (int n = 1; n <= backups; ++n)
        EXPECT_LE(QFileInfo(logger.backupPath(n)).size(), logger.maxSize() + 1) << n;
}

// Short bursts from two producers, each burst starting from an idle writer:
// this is where a producer races a writer that has just found the queue
// empty, or races the other producer to start a writer. A line left behind
// shows as a logger that never becomes idle.
TEST(TQ2LoggerStress, NoLineWaitsAfterBurstEnds)
{
    const int rounds = 1500;
    QTemporaryDir dir;
    TQ2Logger logger;
    logger.setImmediate(false);
    logger.setFilePath(dir.filePath("burst.log"));
    std::atomic<int> round{-1};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&, p] {
            const QString label = QStringLiteral("p%1").arg(p);
            for (int r = 0; r < rounds; ++r) {
                while (round.load() < r)
                    std::this_thread::yield();
                logger.write(TQ2Logger::Info, label, QString(), 0, "%d", r);
                ++done;
            }
        });
    }
    bool idle = true;
    for (int r = 0; r < rounds && idle; ++r) {
        round.store(r);
        while (done.load() < 2 * (r + 1))
            std::this_thread::yield();
        idle = waitForIdle(logger, 5s);
        EXPECT_TRUE(idle) << "round " << r << ": " << logger.queuedCount() << " line(s) left waiting";
    }
    round.store(rounds);
    for (auto &t : threads)
        t.join();
    ASSERT_TRUE(idle);
    const QStringList lines = readAllGenerations(logger);
    EXPECT_EQ(lines.size(), 2 * rounds);
    checkLines(lines, 2, rounds, true);
}

// Immediate-mode writers rotating a small file at the same time: with backups
// serialised no rename overwrites or skips a file, so every line survives in
// order across the generations.
TEST(TQ2LoggerStress, ImmediateWritersRotateWithoutLoss)
{
    const int producers = 4;
    const int perProducer = 2500;
    QTemporaryDir dir;
    TQ2Logger logger;
    logger.setFilePath(dir.filePath("immediate.log"));
    logger.setMaxSize(8192);
    logger.setBackupCount(100000);
    produce(logger, producers, perProducer);
    int backups = 0;
    const QStringList lines = readAllGenerations(logger, &backups);
    EXPECT_EQ(lines.size(), producers * perProducer);
    checkLines(lines, producers, perProducer, true);
    EXPECT_GE(backups, 20);
}

// The logger goes away while its writer is still draining: the writer must
// neither touch freed memory nor write a torn or duplicated line.
TEST(TQ2LoggerStress, DestroyWhileWriterRuns)
{
    const int producers = 4;
    const int perProducer = 5000;
    QTemporaryDir dir;
    const QString path = dir.filePath("destroyed.log");
    {
        auto logger = std::make_unique<TQ2Logger>();
        logger->setImmediate(false);
        logger->setFilePath(path);
        produce(*logger, producers, perProducer);
    }
    // The detached writer stops after its current line; wait until the file
    // stops growing before reading it. What was written is a prefix of the
    // queue, so each producer's lines still start at 0 without gaps.
    qint64 last = -1;
    for (int quiet = 0, n = 0; quiet < 50 && n < 10000; ++n) {
        std::this_thread::sleep_for(2ms);
        const qint64 size = QFileInfo(path).size();
        quiet = size == last ? quiet + 1 : 0;
        last = size;
    }
    const QStringList lines = QString::fromUtf8(readBytes(path)).split('\n', Qt::SkipEmptyParts);
    EXPECT_LE(lines.size(), producers * perProducer);
    checkLines(lines, producers, perProducer, false);
}

} // namespace
