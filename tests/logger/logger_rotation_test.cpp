#include "logger_test_support.h"

#include "tq2logger.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QTemporaryDir>

#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kInfoHeadLength = 25; // "yyyy-MM-dd HH:mm:ss Info "

// Writes one Info line of exactly `bytes` bytes (without the line feed).
QString writeLineOfSize(TQ2Logger &logger, int bytes)
{
    const QByteArray message(bytes - kInfoHeadLength, 'm');
    return logger.write(TQ2Logger::Info, "", "", 0, "%s", message.constData());
}

struct TriggerCase {
    const char *name;
    int fileBytes; // -1: no file
    int lineBytes;
    qint64 maxSize;
    bool rotates;
};

TEST(TQ2LoggerRotation, RotatesOnlyWhenTheLineWouldPassTheLimit)
{
    const TriggerCase cases[] = {
        {"60 + 50 passes 100", 60, 50, 100, true},
        {"60 + 40 is exactly 100", 60, 40, 100, false},
        {"60 + 41 passes 100", 60, 41, 100, true},
        {"limit 0 disables rotation", 60, 50, 0, false},
        {"negative limit disables rotation", 60, 50, -1, false},
        {"missing file is not rotated", -1, 150, 100, false},
        {"empty file is not rotated", 0, 150, 100, false},
    };
    for (const bool immediate : {true, false}) {
        for (const TriggerCase &c : cases) {
            SCOPED_TRACE(QString("%1, %2").arg(c.name, immediate ? "immediate" : "queued").toStdString());
            QTemporaryDir dir;
            TQ2Logger logger;
            logger.setImmediate(immediate);
            logger.setFilePath(dir.filePath("svc.log"));
            logger.setMaxSize(c.maxSize);
            const QByteArray old(qMax(c.fileBytes, 0), 'o');
            if (c.fileBytes >= 0)
                writeBytes(logger.filePath(), old);
            const QByteArray line = writeLineOfSize(logger, c.lineBytes).toUtf8();
            ASSERT_EQ(line.size(), c.lineBytes);
            ASSERT_TRUE(waitForIdle(logger, 10s));
            if (c.rotates) {
                EXPECT_EQ(readBytes(logger.backupPath(1)), old);
                EXPECT_EQ(readBytes(logger.filePath()), line + '\n');
            } else {
                EXPECT_FALSE(QFileInfo::exists(logger.backupPath(1)));
                EXPECT_EQ(readBytes(logger.filePath()), old + line + '\n');
            }
        }
    }
}

TEST(TQ2LoggerRotation, BackupsNameNumberBeforeSuffix)
{
    const struct {
        const char *file;
        const char *backup3;
    } cases[] = {
        {"svc.log", "svc.3.log"},
        {"svc", "svc.3."},
        {"a.tar.gz", "a.tar.3.gz"},
        {"svc.", "svc.3."},
    };
    TQ2Logger logger;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        logger.setFilePath(QString("/var/log/") + c.file);
        EXPECT_EQ(logger.backupPath(3), QString("/var/log/") + c.backup3);
    }
}

struct NumberingCase {
    const char *name;
    int backupCount;
    std::vector<int> present;
    QMap<int, QByteArray> after; // backup number -> content; others must not exist
};

// Backups hold "B<n>" before the write; the rotated log holds "LOG".
TEST(TQ2LoggerRotation, PicksLowestFreeNumberOrShiftsWhenFull)
{
    const NumberingCase cases[] = {
        {"all three present shift down", 3, {1, 2, 3}, {{1, "B2"}, {2, "B3"}, {3, "LOG"}}},
        {"gap at 1 is filled", 3, {2}, {{1, "LOG"}, {2, "B2"}}},
        {"none present", 3, {}, {{1, "LOG"}}},
        {"gap at 2 is filled", 3, {1, 3}, {{1, "B1"}, {2, "LOG"}, {3, "B3"}}},
        {"count 0 acts as 1", 0, {1}, {{1, "LOG"}}},
        {"beyond the count untouched", 2, {1, 2, 3}, {{1, "B2"}, {2, "LOG"}, {3, "B3"}}},
    };
    for (const char *name : {"svc.log", "svc"}) {
        for (const NumberingCase &c : cases) {
            SCOPED_TRACE(QString("%1, %2").arg(c.name, name).toStdString());
            QTemporaryDir dir;
            TQ2Logger logger;
            logger.setFilePath(dir.filePath(name));
            logger.setMaxSize(100);
            logger.setBackupCount(c.backupCount);
            writeBytes(logger.filePath(), QByteArray("LOG").leftJustified(60, '.'));
            for (int n : c.present)
                writeBytes(logger.backupPath(n), "B" + QByteArray::number(n));
            const QByteArray line = writeLineOfSize(logger, 50).toUtf8();
            EXPECT_EQ(readBytes(logger.filePath()), line + '\n');
            for (int n = 1; n <= 4; ++n) {
                SCOPED_TRACE(n);
                const QString path = logger.backupPath(n);
                if (!c.after.contains(n)) {
                    EXPECT_FALSE(QFileInfo::exists(path));
                    continue;
                }
                EXPECT_TRUE(readBytes(path).startsWith(c.after.value(n)));
            }
        }
    }
}

TEST(TQ2LoggerRotation, CleanDeletesFileAndCountedBackups)
{
    for (const char *name : {"svc.log", "svc"}) {
        SCOPED_TRACE(name);
        QTemporaryDir dir;
        TQ2Logger logger;
        logger.setFilePath(dir.filePath(name));
        logger.setBackupCount(3);
        writeBytes(logger.filePath(), "log");
        for (int n = 1; n <= 4; ++n)
            writeBytes(logger.backupPath(n), "b");
        logger.clean();
        EXPECT_FALSE(QFileInfo::exists(logger.filePath()));
        for (int n = 1; n <= 3; ++n)
            EXPECT_FALSE(QFileInfo::exists(logger.backupPath(n))) << n;
        EXPECT_TRUE(QFileInfo::exists(logger.backupPath(4)));
        logger.clean(); // nothing left to delete
        EXPECT_TRUE(QFileInfo::exists(logger.backupPath(4)));
    }
}

} // namespace
