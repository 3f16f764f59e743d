// Export and restore missions on the testbed: a file system written as a
// gzip-compressed replication stream into a directory and received back
// from that file, under its own name or another one.
#include "compressor.h"
#include "tbharness.h"
#include "tq2error.h"
#include "transferfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Files : public TransferE2e
{
protected:
    void SetUp() override
    {
        TransferE2e::SetUp();
        if (HasFatalFailure())
            return;
        exportDir = scratch + "/export";
        makeLocalDataset("trip", 61);
        original = localDigest("tank/trip");
        ASSERT_FALSE(original.isEmpty());
    }

    QJsonObject exporting(const QJsonObject &overrides = QJsonObject())
    {
        QJsonObject fields{{"caption", "Export"}, {"name", "trip"}, {"path", exportDir}};
        for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
            fields.insert(it.key(), it.value());
        return mission(3, fields);
    }

    QJsonObject restoring(const QString &file, const QString &name)
    {
        return mission(4, {{"caption", "Restore"}, {"name", name}, {"path", file}});
    }

    // Every file below the export directory, relative to it.
    QStringList exportedFiles() const
    {
        QStringList files;
        QDirIterator it(exportDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(QDir(exportDir).relativeFilePath(it.next()));
        files.sort();
        return files;
    }

    // Puts a directory holding `name` (a shell script) first on PATH until
    // the test ends.
    void standIn(const QString &name, const QByteArray &script)
    {
        const QString bin = scratch + "/bin";
        QDir().mkpath(bin);
        QFile file(bin + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(script);
        file.close();
        ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        if (savedPath.isNull())
            savedPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin) + ":" + qgetenv("PATH"));
    }

    void TearDown() override
    {
        if (!savedPath.isNull())
            qputenv("PATH", savedPath);
        TransferE2e::TearDown();
    }

    QString exportDir;
    QMap<QString, QByteArray> original;
    QByteArray savedPath;
};

TEST_F(Files, ExportThenRestoreUnderTheDerivedNameAndAnother)
{
    ASSERT_TRUE(drive->sendFile(journals, exporting())) << journalText(journals).toStdString();
    const QString relative = "tank/trip@ZFSREP_20240304101520.gz.zsa";
    ASSERT_EQ(exportedFiles(), QStringList{relative});
    const QString file = exportDir + "/" + relative;
    EXPECT_TRUE(tb::run("gzip", {"-t", file}).ok()) << "a complete gzip file";
    QJsonObject record = events().at(0).toObject();
    EXPECT_EQ(record.value("level").toString(), "Information");
    EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_SENDFILE: tank/trip SEND " + exportDir);
    EXPECT_EQ(record.value("action").toInt(), 3);
    EXPECT_EQ(record.value("from").toString(), "tank/trip");
    EXPECT_EQ(record.value("to").toString(), exportDir);
    EXPECT_EQ(record.value("caption").toString(), "Export");
    EXPECT_EQ(record.value("result").toInt(), 1);

    // Restored where it came from (the name taken from the file name), over
    // a changed dataset, and under another name.
    tb::writeRandomFile(tb::localPath("tank/trip") + "/later.bin", 5000, 62);
    ASSERT_NE(localDigest("tank/trip"), original);
    struct Case {
        const char *name;
        const char *dataset;
    } cases[] = {{"", "tank/trip"}, {"copy", "tank/copy"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dataset);
        TQ2Journals restored;
        ASSERT_TRUE(drive->recvFile(restored, restoring(file, c.name))) << journalText(restored).toStdString();
        EXPECT_EQ(localDigest(c.dataset), original);
        EXPECT_EQ(localSnapshotNames(c.dataset), QStringList{"ZFSREP_20240304101520"});
        EXPECT_EQ(localProperty(c.dataset, "mountpoint"), QString("/mnt/") + c.dataset);
        EXPECT_FALSE(tb::localExists(QString(c.dataset) + ".zfsrep-incoming"));
        record = events().at(0).toObject();
        EXPECT_EQ(record.value("level").toString(), "Information");
        EXPECT_EQ(record.value("message").toString(), QString("GLOG_ZFSREP_RECVFILE: %1 SEND %2").arg(c.dataset, file));
        EXPECT_EQ(record.value("action").toInt(), 4);
        EXPECT_EQ(record.value("from").toString(), file);
        EXPECT_EQ(record.value("to").toString(), c.dataset);
        EXPECT_EQ(record.value("result").toInt(), 1);
    }
    EXPECT_TRUE(QFile::exists(file)) << "a restore only reads the file";
}

TEST_F(Files, ColonsAreDroppedFromFileNamesAndEraseKeepsTheNewest)
{
    const QJsonObject colons = exporting({{"snapname", "at:12:00"}, {"erase", 1}});
    ASSERT_TRUE(drive->sendFile(journals, colons)) << journalText(journals).toStdString();
    setNow(QTime(12, 0, 5));
    TQ2Journals second;
    ASSERT_TRUE(drive->sendFile(second, colons)) << journalText(second).toStdString();
    EXPECT_EQ(exportedFiles(), (QStringList{"tank/trip@at1200_20240304101520.gz.zsa",
                                            "tank/trip@at1200_20240304120005.gz.zsa"}));
    EXPECT_EQ(localSnapshotNames("tank/trip"), QStringList{"at:12:00_20240304120005"});

    // The file restores under the name before its "@".
    ASSERT_TRUE(tb::localZfs({"destroy", "-r", "tank/trip"}).ok());
    ASSERT_TRUE(drive->recvFile(journals, restoring(exportDir + "/tank/trip@at1200_20240304120005.gz.zsa", "")))
        << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/trip"), original);
    // The second stream was written before the erase: it holds both snapshots.
    EXPECT_EQ(localSnapshotNames("tank/trip"), (QStringList{"at:12:00_20240304101520", "at:12:00_20240304120005"}));
}

TEST_F(Files, FailedExportLeavesNoFile)
{
    tb::setLocalFault("send-cut", "50000");
    EXPECT_FALSE(drive->sendFile(journals, exporting()));
    EXPECT_EQ(exportedFiles(), QStringList()) << "neither the final file nor a temporary one";
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(journals.errmsg().contains("Input/output error")) << journals.errmsg().toStdString();
    const QString compress = Compressor::compressStage(Compressor::current(Compressor::Settings()));
    EXPECT_TRUE(hasSegment(journals, compress, "Input/output error")) << journalText(journals).toStdString();
    const QJsonObject record = events().at(0).toObject();
    EXPECT_EQ(record.value("level").toString(), "Error");
    EXPECT_EQ(record.value("result").toInt(), 0);
    EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_SENDFILE: tank/trip SEND " + exportDir);
    EXPECT_EQ(localSnapshotNames("tank/trip"), QStringList{"ZFSREP_20240304101520"})
        << "the new snapshot stays after a failed export";
}

TEST_F(Files, FailedRestoreLeavesTheExistingDatasetIntact)
{
    ASSERT_TRUE(drive->sendFile(journals, exporting()));
    const QString file = exportDir + "/tank/trip@ZFSREP_20240304101520.gz.zsa";
    const QString truncated = exportDir + "/cut@x.gz.zsa";
    ASSERT_TRUE(QFile::copy(file, truncated));
    ASSERT_TRUE(QFile::resize(truncated, QFileInfo(file).size() / 2));

    ASSERT_TRUE(tb::localZfs({"create", "tank/cut"}).ok());
    tb::writeRandomFile(tb::localPath("tank/cut") + "/mine.bin", 30000, 71);
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/cut@mine"}).ok());
    const auto before = localDigest("tank/cut");

    struct Case {
        const char *label;
        QString file;
        QString message;
    } cases[] = {
        // the decompressor's own words: pigz when installed, else gzip
        {"truncated file", truncated,
         Compressor::pigzInstalled() ? "incomplete deflate data" : "unexpected end of file"},
        {"missing file", exportDir + "/cut@none.gz.zsa", "No such file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        TQ2Journals failed;
        EXPECT_FALSE(drive->recvFile(failed, restoring(c.file, "")));
        EXPECT_EQ(failed.err(), TQ2Error::ERR_EXECUTE);
        EXPECT_TRUE(failed.errmsg().contains(c.message)) << failed.errmsg().toStdString();
        EXPECT_EQ(localDigest("tank/cut"), before);
        EXPECT_EQ(localSnapshotNames("tank/cut"), QStringList{"mine"});
        EXPECT_FALSE(tb::localExists("tank/cut.zfsrep-incoming"));
        const QJsonObject record = events().at(0).toObject();
        EXPECT_EQ(record.value("level").toString(), "Error");
        EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_RECVFILE: tank/cut SEND " + c.file);
    }
}

TEST_F(Files, QuotesAndSubstitutionsInTheDirectoryAreOnlyText)
{
    const QString trap = "/tmp/zfsrep-e2e-injected";
    QFile::remove(trap);
    exportDir = scratch + "/it's $(touch " + trap + ") `touch " + trap + "`; \"q\"\nnext line";
    makeLocalDataset("my data", 63);
    const auto spaced = localDigest("tank/my data");
    ASSERT_TRUE(drive->sendFile(journals, exporting({{"name", "my data"}}))) << journalText(journals).toStdString();
    const QString file = exportDir + "/tank/my data@ZFSREP_20240304101520.gz.zsa";
    EXPECT_EQ(exportedFiles(), QStringList{"tank/my data@ZFSREP_20240304101520.gz.zsa"});

    ASSERT_TRUE(tb::localZfs({"destroy", "-r", "tank/my data"}).ok());
    ASSERT_TRUE(drive->recvFile(journals, restoring(file, ""))) << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/my data"), spaced);
    EXPECT_FALSE(QFile::exists(trap));
}

TEST_F(Files, PigzExportReadsWithPlainGzipAndRestoresWithTheService)
{
    if (!Compressor::pigzInstalled())
        GTEST_SKIP() << "SKIP: pigz is not installed (scripts/install-deps.sh installs it)";
    // A pigz that records its arguments, then does its work.
    const QString log = scratch + "/pigz.log";
    standIn("pigz", ("#!/bin/sh\necho \"$*\" >> '" + log + "'\nexec /usr/bin/pigz \"$@\"\n").toUtf8());
    // Highly compressible data beside the random files: several of pigz's blocks.
    tb::bash("yes 'zfsrep export line' | head -c 3000000 > '" + tb::localPath("tank/trip") + "/text.txt'");
    original = localDigest("tank/trip");

    ASSERT_TRUE(drive->sendFile(journals, exporting())) << journalText(journals).toStdString();
    const QString file = exportDir + "/tank/trip@ZFSREP_20240304101520.gz.zsa";
    ASSERT_EQ(exportedFiles(), QStringList{"tank/trip@ZFSREP_20240304101520.gz.zsa"});
    QFile logFile(log);
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    const QStringList calls = QString::fromUtf8(logFile.readAll()).split('\n', Qt::SkipEmptyParts);
    logFile.close();
    ASSERT_EQ(calls.size(), 2) << calls.join(" / ").toStdString();
    EXPECT_TRUE(calls.at(0).startsWith("-6 -p ")) << calls.at(0).toStdString();
    EXPECT_EQ(calls.at(1), "-t");

    // Any gzip reader takes it: plain gzip into zfs recv.
    ASSERT_TRUE(tb::bash("gzip -dc < '" + file + "' | zfs recv -Fu tank/plain").ok());
    EXPECT_EQ(localDigest("tank/plain"), original);
    // And the service restores it (decompressing with pigz).
    ASSERT_TRUE(drive->recvFile(journals, restoring(file, "copy"))) << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/copy"), original);
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(logFile.readAll()).endsWith("\n-dc\n"));
}

TEST_F(Files, FileOfThePreviousVersionRestores)
{
    // Written the way exports were written before: one gzip stream.
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/trip@old_1"}).ok());
    const QString file = exportDir + "/tank/trip@old_1.gz.zsa";
    QDir().mkpath(exportDir + "/tank");
    ASSERT_TRUE(tb::bash("zfs send -R tank/trip@old_1 | gzip > '" + file + "'").ok());
    ASSERT_TRUE(tb::localZfs({"destroy", "-r", "tank/trip"}).ok());

    ASSERT_TRUE(drive->recvFile(journals, restoring(file, ""))) << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/trip"), original);
    EXPECT_EQ(localSnapshotNames("tank/trip"), QStringList{"old_1"});
}

TEST_F(Files, DamagedStreamFailsTheMissionAndErasesNothing)
{
    const QJsonObject erasing = exporting({{"erase", 1}});
    ASSERT_TRUE(drive->sendFile(journals, erasing)) << journalText(journals).toStdString();
    // A compressor that damages what it writes: a few bytes go into the
    // middle of a good stream. Checks and reads are left to gzip.
    standIn("pigz", "#!/bin/sh\nfor a in \"$@\"; do case $a in -t|-dc) exec gzip \"$@\";; esac; done\n"
                    "gzip -c | { head -c 4000; printf 'damage'; cat; }\n");
    standIn("gzip", "#!/bin/sh\nfor a in \"$@\"; do case $a in -t|-dc) exec /bin/gzip \"$@\";; esac; done\n"
                    "/bin/gzip -c | { head -c 4000; printf 'damage'; cat; }\n");
    setNow(QTime(12, 0, 5));
    TQ2Journals failed;
    EXPECT_FALSE(drive->sendFile(failed, erasing));

    const QString file = exportDir + "/tank/trip@ZFSREP_20240304120005.gz.zsa";
    EXPECT_EQ(failed.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(failed.errmsg().startsWith("the export file " + file + " failed its check: "))
        << failed.errmsg().toStdString();
    EXPECT_TRUE(failed.errmsg().contains("crc") || failed.errmsg().contains("invalid")
                || failed.errmsg().contains("corrupt"))
        << "the check's own message: " << failed.errmsg().toStdString();
    EXPECT_EQ(exportedFiles(), QStringList{"tank/trip@ZFSREP_20240304101520.gz.zsa"})
        << "no file under the new name, no partial one";
    EXPECT_EQ(localSnapshotNames("tank/trip"), (QStringList{"ZFSREP_20240304101520", "ZFSREP_20240304120005"}))
        << "no snapshot erased";
    const QJsonObject record = events().at(0).toObject();
    EXPECT_EQ(record.value("level").toString(), "Error");
    EXPECT_EQ(record.value("result").toInt(), 0);
}

TEST_F(Files, PartialExportsOfAKilledRunAreRemovedAtStart)
{
    const int msnno = append(exporting({{"caption", "Nightly export"}}));
    ASSERT_GT(msnno, 0);
    const QString dir = exportDir + "/tank";
    QDir().mkpath(dir);
    const QStringList kept{"trip@ZFSREP_20240304101520.gz.zsa", "trips@ZFSREP_1.gz.zsa.part", "notes.part"};
    for (const QString &name : kept + QStringList{"trip@ZFSREP_20240303101520.gz.zsa.part"})
        tb::writeRandomFile(dir + "/" + name, 1000, 5);

    // A restart: a new engine on the same database.
    engine.reset();
    engine = std::make_unique<MXZfsrep>();
    drive = std::make_unique<MissionDriver>(*engine);
    engine->setDatabasePath(scratch + "/zfsrep.db");
    engine->events().open(scratch + "/tarnlog.db");
    TQ2Journals started;
    ASSERT_TRUE(engine->loadConfigure(started, QJsonObject())) << started.errmsg().toStdString();
    QStringList left = QDir(dir).entryList(QDir::Files);
    left.sort();
    QStringList expected = kept;
    expected.sort();
    EXPECT_EQ(left, expected);
}

// The mode bits of a path itself (a link is not followed).
mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(Files, PlantedLinksAndOpenDirectoriesAreNeverWrittenThrough)
{
    // What another user would like the service to overwrite.
    const QString victim = scratch + "/victim";
    tb::writeRandomFile(victim, 4096, 90);
    ASSERT_EQ(::chmod(QFile::encodeName(victim).constData(), 0600), 0);
    QFile victimFile(victim);
    ASSERT_TRUE(victimFile.open(QIODevice::ReadOnly));
    const QByteArray precious = victimFile.readAll();
    victimFile.close();
    const QString dir = exportDir + "/tank";
    ASSERT_TRUE(QDir().mkpath(dir));

    const struct {
        const char *label;
        QTime now;
        const char *planted; // the name that holds a link to the victim
        const char *message;
    } links[] = {
        {"link at the partial name", QTime(10, 15, 20), "trip@ZFSREP_20240304101520.gz.zsa.part",
         "a link is in its place, and links are not followed"},
        {"link at the final name", QTime(10, 20, 0), "trip@ZFSREP_20240304102000.gz.zsa",
         "a link is in its place and is not replaced"},
    };
    for (const auto &c : links) {
        SCOPED_TRACE(c.label);
        setNow(c.now);
        const QString link = dir + "/" + c.planted;
        ASSERT_TRUE(QFile::link(victim, link));
        TQ2Journals failed;
        EXPECT_FALSE(drive->sendFile(failed, exporting()));
        EXPECT_EQ(failed.err(), TQ2Error::ERR_EXECUTE);
        EXPECT_TRUE(failed.errmsg().contains(c.message)) << failed.errmsg().toStdString();
        ASSERT_TRUE(victimFile.open(QIODevice::ReadOnly));
        EXPECT_EQ(victimFile.readAll(), precious) << "nothing written through the link";
        victimFile.close();
        EXPECT_EQ(modeOf(victim), 0600u);
        EXPECT_TRUE(QFileInfo(link).isSymLink()) << "the link is left as it was";
        EXPECT_EQ(exportedFiles(), QStringList{QString("tank/") + c.planted}) << "no other file left";
        EXPECT_EQ(events().at(0).toObject().value("result").toInt(), 0);
        ASSERT_TRUE(QFile::remove(link));
    }

    // A directory on the way that others can write: the export directory
    // itself, then the dataset's directory below it.
    const QStringList snapshotsBefore = localSnapshotNames("tank/trip");
    setNow(QTime(10, 25, 0));
    for (const QString &open : {exportDir, dir}) {
        SCOPED_TRACE(open.toStdString());
        ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
        TQ2Journals refused;
        EXPECT_FALSE(drive->sendFile(refused, exporting()));
        EXPECT_EQ(refused.err(), TQ2Error::ERR_EXECUTE);
        EXPECT_TRUE(refused.errmsg().contains("the directory " + open + " is writable by other users"))
            << refused.errmsg().toStdString();
        EXPECT_EQ(exportedFiles(), QStringList());
        EXPECT_EQ(localSnapshotNames("tank/trip"), snapshotsBefore) << "refused before any snapshot";
        ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    }

    // Made by the service: directories 0750, the file 0600.
    ASSERT_TRUE(QDir(exportDir).removeRecursively());
    ASSERT_TRUE(drive->sendFile(journals, exporting())) << journalText(journals).toStdString();
    const QString file = dir + "/trip@ZFSREP_20240304102500.gz.zsa";
    EXPECT_EQ(exportedFiles(), QStringList{"tank/trip@ZFSREP_20240304102500.gz.zsa"});
    EXPECT_EQ(modeOf(file), 0600u) << "not readable by others";
    for (const QString &made : {exportDir, dir}) {
        SCOPED_TRACE(made.toStdString());
        EXPECT_EQ(modeOf(made) & ~0750u, 0u);
        EXPECT_EQ(modeOf(made) & 0700u, 0700u);
    }
    EXPECT_TRUE(tb::run("gzip", {"-t", file}).ok());
}

} // namespace

namespace {

class RestoreSources : public Files
{
};

TEST_F(RestoreSources, OnlyAFileRootOwnsInATrustedDirectoryIsRestored)
{
    ASSERT_TRUE(drive->sendFile(journals, exporting())) << journalText(journals).toStdString();
    const QString file = exportDir + "/tank/trip@ZFSREP_20240304101520.gz.zsa";
    ASSERT_TRUE(QFile::exists(file));
    const QByteArray name = QFile::encodeName(file);

    // A directory every user can write (like /tmp) holding a file another
    // user owns: its owner could change it until the run starts.
    const QString drop = scratch + "/drop";
    ASSERT_TRUE(QDir().mkpath(drop));
    ASSERT_EQ(::chmod(QFile::encodeName(drop).constData(), 01777), 0);
    const QString theirs = drop + "/trip@x.gz.zsa";
    ASSERT_TRUE(QFile::copy(file, theirs));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    // A root-only file of 12,345 bytes, reached through a link.
    const QString secret = exportDir + "/secret";
    QFile secretFile(secret);
    ASSERT_TRUE(secretFile.open(QIODevice::WriteOnly));
    secretFile.write(QByteArray(12345, 's'));
    secretFile.close();
    const QString link = exportDir + "/link@x.gz.zsa";
    ASSERT_TRUE(QFile::link(secret, link));
    // A file of the right owner that the group may write.
    const QString groupWritable = exportDir + "/group@x.gz.zsa";
    ASSERT_TRUE(QFile::copy(file, groupWritable));
    ASSERT_EQ(::chmod(QFile::encodeName(groupWritable).constData(), 0660), 0);

    const struct {
        const char *name;
        QString path;
        QString reason;
    } cases[] = {
        {"another user's file", theirs, "the restore file " + theirs + " belongs to uid 65534"},
        {"a link", link, "the restore file " + link + " is a link, and links are not followed"},
        {"a group-writable file", groupWritable, "the restore file " + groupWritable + " has mode 0660"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TQ2Journals refused;
        EXPECT_FALSE(drive->recvFile(refused, restoring(c.path, "refused")));
        EXPECT_TRUE(journalText(refused).contains(c.reason.toUtf8())) << journalText(refused).toStdString();
        ASSERT_TRUE(drive->lastRun());
        EXPECT_EQ(drive->lastRun()->record().bytes, 0) << "no size is recorded for a refused file";
        EXPECT_FALSE(tb::localExists("tank/refused"));
        EXPECT_EQ(events().at(0).toObject().value("level").toString(), "Error");
    }

    // The file as the export left it (root's, 0600, in a 0750 directory)
    // restores as before.
    TQ2Journals restored;
    ASSERT_TRUE(drive->recvFile(restored, restoring(file, "sound"))) << journalText(restored).toStdString();
    EXPECT_EQ(localDigest("tank/sound"), original);
    EXPECT_EQ(drive->lastRun()->record().bytes, QFileInfo(file).size());
}

} // namespace
