// Export and restore missions on the testbed: a file system written as a
// gzip-compressed replication stream into a directory and received back
// from that file, under its own name or another one.
#include "tbharness.h"
#include "tq2error.h"
#include "transferfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

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

    QString exportDir;
    QMap<QString, QByteArray> original;
};

TEST_F(Files, ExportThenRestoreUnderTheDerivedNameAndAnother)
{
    ASSERT_TRUE(engine->sendFile(journals, exporting())) << journalText(journals).toStdString();
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
        ASSERT_TRUE(engine->recvFile(restored, restoring(file, c.name))) << journalText(restored).toStdString();
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
    ASSERT_TRUE(engine->sendFile(journals, colons)) << journalText(journals).toStdString();
    setNow(QTime(12, 0, 5));
    TQ2Journals second;
    ASSERT_TRUE(engine->sendFile(second, colons)) << journalText(second).toStdString();
    EXPECT_EQ(exportedFiles(), (QStringList{"tank/trip@at1200_20240304101520.gz.zsa",
                                            "tank/trip@at1200_20240304120005.gz.zsa"}));
    EXPECT_EQ(localSnapshotNames("tank/trip"), QStringList{"at:12:00_20240304120005"});

    // The file restores under the name before its "@".
    ASSERT_TRUE(tb::localZfs({"destroy", "-r", "tank/trip"}).ok());
    ASSERT_TRUE(engine->recvFile(journals, restoring(exportDir + "/tank/trip@at1200_20240304120005.gz.zsa", "")))
        << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/trip"), original);
    // The second stream was written before the erase: it holds both snapshots.
    EXPECT_EQ(localSnapshotNames("tank/trip"), (QStringList{"at:12:00_20240304101520", "at:12:00_20240304120005"}));
}

TEST_F(Files, FailedExportLeavesNoFile)
{
    tb::setLocalFault("send-cut", "50000");
    EXPECT_FALSE(engine->sendFile(journals, exporting()));
    EXPECT_EQ(exportedFiles(), QStringList()) << "neither the final file nor a temporary one";
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(journals.errmsg().contains("Input/output error")) << journals.errmsg().toStdString();
    EXPECT_TRUE(hasSegment(journals, "gzip", "Input/output error")) << journalText(journals).toStdString();
    const QJsonObject record = events().at(0).toObject();
    EXPECT_EQ(record.value("level").toString(), "Error");
    EXPECT_EQ(record.value("result").toInt(), 0);
    EXPECT_EQ(record.value("message").toString(), "GLOG_ZFSREP_SENDFILE: tank/trip SEND " + exportDir);
    EXPECT_EQ(localSnapshotNames("tank/trip"), QStringList{"ZFSREP_20240304101520"})
        << "the new snapshot stays after a failed export";
}

TEST_F(Files, FailedRestoreLeavesTheExistingDatasetIntact)
{
    ASSERT_TRUE(engine->sendFile(journals, exporting()));
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
        {"truncated file", truncated, "unexpected end of file"},
        {"missing file", exportDir + "/cut@none.gz.zsa", "No such file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        TQ2Journals failed;
        EXPECT_FALSE(engine->recvFile(failed, restoring(c.file, "")));
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
    ASSERT_TRUE(engine->sendFile(journals, exporting({{"name", "my data"}}))) << journalText(journals).toStdString();
    const QString file = exportDir + "/tank/my data@ZFSREP_20240304101520.gz.zsa";
    EXPECT_EQ(exportedFiles(), QStringList{"tank/my data@ZFSREP_20240304101520.gz.zsa"});

    ASSERT_TRUE(tb::localZfs({"destroy", "-r", "tank/my data"}).ok());
    ASSERT_TRUE(engine->recvFile(journals, restoring(file, ""))) << journalText(journals).toStdString();
    EXPECT_EQ(localDigest("tank/my data"), spaced);
    EXPECT_FALSE(QFile::exists(trap));
}

} // namespace
