#include "logger_test_support.h"

#include "tq2logger.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace {

using namespace std::chrono_literals;

constexpr int kStampLength = 19; // "yyyy-MM-dd HH:mm:ss"

struct FormatCase {
    const char *name;
    int level;
    const char *label1;
    const char *label2;
    int line;
    const char *format;
    const char *argument;
    const char *expectedTail; // everything after the time stamp
};

TEST(TQ2LoggerFormat, BuildsLineFromLevelLabelsLineAndMessage)
{
    const FormatCase cases[] = {
        {"full line", TQ2Logger::Info, "main.cpp", "main", 42, "started %s", "now",
         " Info main.cpp main #42 started now"},
        {"line zero adds no number", TQ2Logger::Warn, "a", "b", 0, "%s", "m", " Warn a b m"},
        {"negative line adds no number", TQ2Logger::Error, "a", "b", -5, "%s", "m", " Error a b m"},
        {"empty labels add no blanks", TQ2Logger::Debug, "", "", 0, "x=%s", "1", " Debug x=1"},
        {"only second label", TQ2Logger::Trace, "", "two", 7, "%s", "m", " Trace two #7 m"},
        {"high named levels", TQ2Logger::DB, "sql", "", 0, "%s", "q", " DB sql q"},
        {"memtrace", TQ2Logger::MemTrace, "", "", 0, "%s", "q", " MemTrace q"},
        {"script", TQ2Logger::Script, "", "", 0, "%s", "q", " Script q"},
        {"unnamed level prints no word", 7, "a", "", 1, "%s", "m", "  a #1 m"},
        {"message trimmed at the end", TQ2Logger::Fatal, "", "", 0, "%s", "  end \n", " Fatal   end"},
        {"empty message leaves no blank", TQ2Logger::Fatal, "", "", 0, "%s", "", " Fatal"},
        {"UTF-8 message", TQ2Logger::Info, "", "", 0, "%s", "缺少参数", " Info 缺少参数"},
    };
    TQ2Logger logger;
    for (const FormatCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const QString line = logger.write(c.level, QString::fromUtf8(c.label1),
                                          QString::fromUtf8(c.label2), c.line, c.format, c.argument);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        const QDateTime stamp = QDateTime::fromString(line.left(kStampLength), "yyyy-MM-dd HH:mm:ss");
        ASSERT_TRUE(stamp.isValid()) << line.toStdString();
        EXPECT_LE(before, stamp);
        EXPECT_GE(after, stamp);
        EXPECT_EQ(line.mid(kStampLength).toStdString(), c.expectedTail);
    }
}

TEST(TQ2LoggerFormat, AppliesPrintfArguments)
{
    TQ2Logger logger;
    const QString line = logger.write(TQ2Logger::Info, "", "", 0, "%d|%06.2f|%s|%x|%lld", -3, 3.14159, "ü",
                                      255, 1LL << 40);
    EXPECT_EQ(line.mid(kStampLength), QString::fromUtf8(" Info -3|003.14|ü|ff|1099511627776"));
}

TEST(TQ2Logger, DefaultsWriteNothing)
{
    TQ2Logger logger;
    EXPECT_TRUE(logger.filePath().isEmpty());
    EXPECT_EQ(logger.maxSize(), 10485760);
    EXPECT_EQ(logger.backupCount(), 10);
    EXPECT_TRUE(logger.output());
    EXPECT_TRUE(logger.immediate());
    EXPECT_TRUE(logger.backupPath(1).isEmpty());
}

// With no path, or with output off, a line is only returned: no file, no
// directory, nothing queued, in either mode.
TEST(TQ2Logger, EmptyPathOrOutputOffTouchesNoFile)
{
    for (const bool immediate : {true, false}) {
        for (const bool emptyPath : {true, false}) {
            SCOPED_TRACE(QString("immediate %1, empty path %2").arg(immediate).arg(emptyPath).toStdString());
            QTemporaryDir dir;
            ASSERT_TRUE(dir.isValid());
            const QString savedCwd = QDir::currentPath();
            ASSERT_TRUE(QDir::setCurrent(dir.path()));
            {
                TQ2Logger logger;
                logger.setImmediate(immediate);
                if (!emptyPath) {
                    logger.setFilePath(dir.filePath("sub/app.log"));
                    logger.setOutput(false);
                }
                const QString line = logger.write(TQ2Logger::Info, "l", "", 3, "%s", "text");
                EXPECT_TRUE(line.endsWith(" Info l #3 text"));
                EXPECT_EQ(logger.queuedCount(), 0);
                EXPECT_FALSE(logger.isWriterRunning());
            }
            QDir::setCurrent(savedCwd);
            EXPECT_TRUE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
        }
    }
}

TEST(TQ2Logger, WritesLinesInBothModesCreatingDirectories)
{
    for (const bool immediate : {true, false}) {
        SCOPED_TRACE(immediate ? "immediate" : "queued");
        QTemporaryDir dir;
        TQ2Logger logger;
        logger.setImmediate(immediate);
        logger.setFilePath(dir.filePath("a/b/c/app.log"));
        QByteArray expected;
        for (int n = 0; n < 300; ++n)
            expected += logger.write(TQ2Logger::Info, "", "", n, "line %d 中", n).toUtf8() + '\n';
        ASSERT_TRUE(waitForIdle(logger, 10s));
        EXPECT_EQ(readBytes(logger.filePath()), expected);
    }
}

// A path that names a directory cannot be opened: the writer thread gives up
// on it and goes idle instead of retrying forever.
TEST(TQ2Logger, WriterGivesUpOnUnusableFile)
{
    QTemporaryDir dir;
    TQ2Logger logger;
    logger.setImmediate(false);
    logger.setFilePath(dir.path());
    for (int n = 0; n < 20; ++n)
        logger.write(TQ2Logger::Error, "", "", 0, "lost %d", n);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (logger.isWriterRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(logger.isWriterRunning());
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
}

TEST(TQ2LoggerRegistry, NewestLoggerIsCurrentAndSurvivorTakesOver)
{
    auto a = std::make_unique<TQ2Logger>();
    EXPECT_EQ(TQ2Logger::i(), a.get());
    auto b = std::make_unique<TQ2Logger>();
    EXPECT_EQ(TQ2Logger::i(), b.get());
    a->setCurrentInstance();
    EXPECT_EQ(TQ2Logger::i(), a.get());
    auto c = std::make_unique<TQ2Logger>();
    EXPECT_EQ(TQ2Logger::i(), c.get());
    c.reset();
    EXPECT_EQ(TQ2Logger::i(), b.get()); // the most recently registered survivor
    b.reset();
    EXPECT_EQ(TQ2Logger::i(), a.get());
    a.reset();
    EXPECT_EQ(TQ2Logger::i(), nullptr);
}

} // namespace
