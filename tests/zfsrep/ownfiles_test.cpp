// Files the service writes are its own: directories others can write are
// refused, partial files are created exclusively and never through a link,
// the final rename does not replace a link, the metrics file is replaced
// without following one, and a descriptor lent to a stage reaches the shell
// that `script` starts.
#include "durablefile.h"
#include "exclusivefile.h"
#include "metricsfile.h"
#include "processrunner.h"
#include "transfercommands.h"
#include "trusteddirectories.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool setMode(const QString &path, mode_t mode) { return ::chmod(QFile::encodeName(path).constData(), mode) == 0; }

// ---- which directories are trusted ----

TEST(TrustedDirectories, RuleTable)
{
    const struct {
        const char *name;
        mode_t mode;
        uid_t owner;
        gid_t group;
        bool trusted;
    } rows[] = {
        {"root's 0755", 0755, 0, 0, true},
        {"a user's 0700", 0700, 1000, 1000, true},
        {"group-writable by root's group", 0775, 0, 0, true},
        {"group-writable by another group", 0775, 0, 100, false},
        {"world-writable", 0777, 0, 0, false},
        {"world-writable, a user's, sticky", 01777, 1000, 1000, false},
        {"world-writable, root's, sticky (/tmp)", 01777, 0, 0, true},
        {"group-writable, root's, sticky", 01770, 0, 100, true},
        {"world-writable only", 0002, 0, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(TrustedDirectories::isTrusted(row.mode, row.owner, row.group), row.trusted);
    }
}

TEST(TrustedDirectories, MakeCreatesOwnerDirectoriesAndRefusesOpenOnes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIP: the rule trusts directories owned by root; runs as root";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(setMode(dir.path(), 0755));
    QString error;
    const QString nested = dir.filePath("exports/tank/a");
    ASSERT_TRUE(TrustedDirectories::make(nested, error)) << error.toStdString();
    for (const QString &made : {dir.filePath("exports"), dir.filePath("exports/tank"), nested}) {
        SCOPED_TRACE(made.toStdString());
        EXPECT_EQ(modeOf(made) & ~0750u, 0u) << "at most 0750 (less the umask)";
        EXPECT_EQ(modeOf(made) & 0700u, 0700u);
    }
    EXPECT_TRUE(TrustedDirectories::check(nested, error));

    // A world-writable directory on the way, then a link leading to one.
    ASSERT_TRUE(setMode(dir.filePath("exports/tank"), 0777));
    EXPECT_FALSE(TrustedDirectories::make(nested + "/b", error));
    EXPECT_TRUE(error.contains(dir.filePath("exports/tank") + " is writable by other users")) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(nested + "/b")) << "nothing made below the refused directory";
    ASSERT_TRUE(setMode(dir.filePath("exports/tank"), 0755));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("open")));
    ASSERT_TRUE(setMode(dir.filePath("open"), 0777));
    ASSERT_TRUE(QFile::link(dir.filePath("open"), dir.filePath("exports/link")));
    EXPECT_FALSE(TrustedDirectories::make(dir.filePath("exports/link/x"), error));
    EXPECT_TRUE(error.contains(dir.filePath("open") + " is writable")) << error.toStdString();
    // A sticky world-writable directory of root's is accepted.
    ASSERT_TRUE(setMode(dir.filePath("open"), 01777));
    EXPECT_TRUE(TrustedDirectories::make(dir.filePath("exports/link/x"), error)) << error.toStdString();

    ASSERT_TRUE(writeFile(dir.filePath("exports/file"), "x"));
    EXPECT_FALSE(TrustedDirectories::make(dir.filePath("exports/file/x"), error));
    EXPECT_TRUE(error.contains("Not a directory")) << error.toStdString();
    EXPECT_FALSE(TrustedDirectories::check(dir.filePath("missing"), error));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("missing"))) << "check makes nothing";
    EXPECT_FALSE(TrustedDirectories::make("relative/dir", error));
}

// ---- exclusive creation and the rename ----

TEST(ExclusiveFile, NeverFollowsALinkAndReplacesOnlyARegularLeftover)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(writeFile(victim, "precious"));
    const QString part = dir.filePath("t@s.gz.zsa.part");
    ASSERT_TRUE(QFile::link(victim, part));
    QString error;
    for (bool replace : {false, true}) {
        ExclusiveFile file;
        EXPECT_FALSE(file.create(part, 0600, replace, error));
        EXPECT_TRUE(error.contains(part)) << error.toStdString();
        EXPECT_EQ(file.descriptor(), -1);
    }
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(QFileInfo(part).isSymLink()) << "the link is left where it is";
    // A dangling link is no better.
    ASSERT_TRUE(QFile::remove(part));
    ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), part));
    ExclusiveFile dangling;
    EXPECT_FALSE(dangling.create(part, 0600, true, error));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("nowhere")));

    // A regular leftover: refused unless replacing was asked for.
    ASSERT_TRUE(QFile::remove(part));
    ASSERT_TRUE(writeFile(part, "leftover"));
    ExclusiveFile kept;
    EXPECT_FALSE(kept.create(part, 0600, false, error));
    EXPECT_TRUE(error.contains("File exists")) << error.toStdString();
    ExclusiveFile replaced;
    ASSERT_TRUE(replaced.create(part, 0600, true, error)) << error.toStdString();
    ASSERT_EQ(::write(replaced.descriptor(), "new", 3), 3);
    EXPECT_TRUE(replaced.sync(error));
    EXPECT_TRUE(replaced.close(error));
    EXPECT_EQ(readFile(part), "new");
    EXPECT_EQ(modeOf(part), 0600u);
}

TEST(DurableFile, PublishNeverReplacesALink)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(writeFile(victim, "precious"));
    const QString target = dir.filePath("t@s.gz.zsa");
    ASSERT_TRUE(QFile::link(victim, target));
    ASSERT_TRUE(writeFile(target + ".part", "stream"));
    QString error;
    EXPECT_FALSE(DurableFile::publish(target + ".part", target, error));
    EXPECT_TRUE(error.contains("a link is in its place")) << error.toStdString();
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(QFileInfo(target).isSymLink());
    // A link at the partial name is not flushed through either.
    ASSERT_TRUE(QFile::remove(target));
    ASSERT_TRUE(QFile::remove(target + ".part"));
    ASSERT_TRUE(QFile::link(victim, target + ".part"));
    EXPECT_FALSE(DurableFile::publish(target + ".part", target, error));
    EXPECT_FALSE(QFileInfo::exists(target));
}

// ---- the metrics file ----

TEST(MetricsFile, ReplacesALinkWithoutWritingThroughIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIP: the directory rule trusts directories owned by root; runs as root";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(setMode(dir.path(), 0755));
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(writeFile(victim, "precious"));
    ASSERT_TRUE(setMode(victim, 0600));
    const QString path = dir.filePath("zfsrep.prom");
    ASSERT_TRUE(QFile::link(victim, path));
    QString error;
    ASSERT_TRUE(MetricsFile::write(path, "zfsrep_up 1\n", error)) << error.toStdString();
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(modeOf(victim), 0600u) << "the link's target keeps its mode";
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(readFile(path), "zfsrep_up 1\n");
    EXPECT_EQ(modeOf(path), 0644u);
    ASSERT_TRUE(MetricsFile::write(path, "zfsrep_up 2\n", error)) << error.toStdString();
    EXPECT_EQ(readFile(path), "zfsrep_up 2\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporary file left";

    // A directory others can write is refused; the file there is untouched.
    ASSERT_TRUE(setMode(dir.path(), 0777));
    EXPECT_FALSE(MetricsFile::write(path, "zfsrep_up 3\n", error));
    EXPECT_TRUE(error.contains(dir.path() + " is writable by other users")) << error.toStdString();
    EXPECT_EQ(readFile(path), "zfsrep_up 2\n");
    ASSERT_TRUE(setMode(dir.path(), 0755));
}

// ---- a descriptor lent to a stage ----

TEST(StageDescriptor, ReachesTheShellThatScriptStarts)
{
    if (QStandardPaths::findExecutable(ZfsCommands::kScript).isEmpty())
        GTEST_SKIP() << "SKIP: script (util-linux) is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("out.part");
    ExclusiveFile file;
    QString error;
    ASSERT_TRUE(file.create(path, 0600, false, error)) << error.toStdString();
    ASSERT_TRUE(file.setInheritable(true));
    ProcessRequest request;
    request.program = ZfsCommands::kScript;
    request.arguments = QStringList{"-q", "-e", "-c",
                         TransferCommands::stageShellCommand("printf 'through the descriptor' | cat >&"
                                                             + QString::number(file.descriptor())),
                         "/dev/null"};
    request.environment.insert("SHELL", "/bin/bash");
    const ProcessOutcome outcome = QProcessRunner().run(request);
    ASSERT_TRUE(outcome.succeeded()) << outcome.standardOutput.toStdString() << outcome.standardError.toStdString();
    EXPECT_EQ(readFile(path), "through the descriptor");
    EXPECT_EQ(modeOf(path), 0600u);
}

} // namespace
