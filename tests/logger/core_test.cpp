#include "tq2core.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// The test binary lives in this directory of the build tree.
QString binaryDir()
{
    return QFileInfo(QStringLiteral(ZFSREP_BINARY_DIR "/tests/logger")).canonicalFilePath();
}

TEST(TQ2Core, StartsWithDefaultsAndACurrentIdleLogger)
{
    TQ2Core core;
    EXPECT_EQ(TQ2Logger::i(), &core.logger);
    EXPECT_FALSE(core.debugging.load());
    EXPECT_TRUE(core.config.isEmpty());
}

TEST(TQ2Core, AppDirIsExecutableDirectoryWithOrWithoutApplication)
{
    {
        TQ2Core core;
        EXPECT_EQ(core.appDir.canonicalPath(), binaryDir());
    }
    int argc = 1;
    char name[] = "core_test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TQ2Core core;
    EXPECT_EQ(core.appDir.canonicalPath(), binaryDir());
}

TEST(TQ2Core, ConfigDirIsEtcBesideExecutableWhenPresent)
{
    QDir dir(binaryDir());
    const QString etc = dir.filePath("etc");
    const bool existed = QFileInfo(etc).isDir();
    if (existed) {
        TQ2Core core;
        EXPECT_EQ(core.configDir.canonicalPath(), QFileInfo(etc).canonicalFilePath());
        GTEST_SKIP() << "etc already exists in the build tree; fallback not checked";
    }
    {
        TQ2Core core;
        EXPECT_EQ(core.configDir.path(), QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).path());
    }
    ASSERT_TRUE(dir.mkdir("etc"));
    {
        TQ2Core core;
        EXPECT_EQ(core.configDir.canonicalPath(), QFileInfo(etc).canonicalFilePath());
    }
    dir.rmdir("etc");
}

} // namespace
