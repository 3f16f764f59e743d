// Files the service reads although others name them: only root's (or the
// service user's), writable by no one else, no link, in directories that
// only root can write and that root owns.
#include "trustedfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(TrustedFile, OwnershipRuleTable)
{
    const struct {
        const char *name;
        mode_t mode;
        uid_t owner;
        uid_t self;
        const char *expected; // a part of the reason; empty: trusted
    } rows[] = {
        {"root's, owner-only", S_IFREG | 0600, 0, 0, ""},
        {"root's, readable by all", S_IFREG | 0644, 0, 0, ""},
        {"the service user's own", S_IFREG | 0600, 1000, 1000, ""},
        {"another user's", S_IFREG | 0600, 65534, 0, "belongs to uid 65534: the service reads only files that root owns (chown root"},
        {"root's, group-writable", S_IFREG | 0660, 0, 0, "has mode 0660"},
        {"root's, world-writable", S_IFREG | 0646, 0, 0, "has mode 0646"},
        {"a directory", S_IFDIR | 0755, 0, 0, "is not a regular file"},
        {"a FIFO", S_IFIFO | 0600, 0, 0, "is not a regular file"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const QString reason = TrustedFile::ownershipProblem("/srv/f", "restore file", r.mode, r.owner, r.self);
        if (*r.expected == '\0') {
            EXPECT_TRUE(reason.isEmpty()) << reason.toStdString();
        } else {
            EXPECT_TRUE(reason.startsWith("the restore file /srv/f ")) << reason.toStdString();
            EXPECT_TRUE(reason.contains(r.expected)) << reason.toStdString();
        }
    }
}

class TrustedFiles : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString write(const QString &name, const QByteArray &bytes, QFile::Permissions permissions)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        EXPECT_TRUE(f.setPermissions(permissions));
        return path;
    }

    QString refusal(const QString &path)
    {
        TrustedFile file;
        QString error;
        EXPECT_FALSE(file.open(path, "restore file", error));
        EXPECT_EQ(file.descriptor(), -1);
        return error;
    }

    QTemporaryDir dir;
};

TEST_F(TrustedFiles, OpensASoundFileOnceAndKnowsItsSize)
{
    const QString path = write("d@s.gz.zsa", QByteArray(12345, 'x'), QFile::ReadOwner | QFile::WriteOwner);
    TrustedFile file;
    QString error;
    ASSERT_TRUE(file.open(path, "restore file", error)) << error.toStdString();
    EXPECT_GE(file.descriptor(), 0);
    EXPECT_EQ(file.size(), 12345);
    EXPECT_TRUE(TrustedFile::problem(path, "restore file").isEmpty());
}

TEST_F(TrustedFiles, RefusesLinksFifosWritableFilesAndRelativePaths)
{
    const QString target = write("target", "data", QFile::ReadOwner | QFile::WriteOwner);
    const QString link = dir.filePath("link");
    ASSERT_TRUE(QFile::link(target, link));
    EXPECT_EQ(refusal(link).toStdString(), ("the restore file " + link + " is a link, and links are not followed").toStdString());

    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(refusal(fifo).contains("is not a regular file")) << "and the open does not hang";

    const QString open = write("open", "data", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther);
    EXPECT_TRUE(refusal(open).contains("has mode 0606")) << refusal(open).toStdString();

    EXPECT_TRUE(refusal("relative/d@s.gz.zsa").contains("is not an absolute path"));
    EXPECT_TRUE(refusal(dir.filePath("missing")).startsWith("cannot open the restore file"));
}

TEST_F(TrustedFiles, RefusesAFileInADirectoryOthersCanWrite)
{
    const QString sub = dir.filePath("open");
    ASSERT_TRUE(QDir().mkdir(sub));
    ASSERT_EQ(::chmod(QFile::encodeName(sub).constData(), 0777), 0);
    const QString path = sub + "/d@s.gz.zsa";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const QString reason = refusal(path);
    EXPECT_TRUE(reason.contains("is refused: the directory " + sub + " is writable by other users")) << reason.toStdString();
}

TEST_F(TrustedFiles, RefusesAnotherUsersFileOrDirectory)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIP: needs root to give files away";
    const QString theirs = write("theirs", "data", QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    EXPECT_TRUE(refusal(theirs).contains("belongs to uid 65534")) << refusal(theirs).toStdString();

    const QString sub = dir.filePath("nobodys");
    ASSERT_TRUE(QDir().mkdir(sub));
    const QString path = sub + "/key";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ASSERT_EQ(::chown(QFile::encodeName(sub).constData(), 65534, 65534), 0);
    const QString reason = refusal(path);
    EXPECT_TRUE(reason.contains("the directory " + sub + " belongs to uid 65534, not root")) << reason.toStdString();
}

} // namespace
