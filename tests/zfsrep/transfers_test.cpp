#include "compressor.h"
#include "fakerunner.h"
#include "missiondriver.h"
#include "mxzfsrep.h"
#include "exportrun.h"
#include "restorerun.h"
#include "qmtarnlog.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const QString kLocalList = "zfs list -t snapshot -H -o name tank/data";
const QString kRemoteList = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                            "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 /usr/sbin/zfs list -H -p "
                            "-o name,guid,createtxg -t snapshot -s createtxg -r";

class Transfers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setRunner(runner);
        engine.settings().sshControlDirectory = QString();
        engine.events().open(dir.filePath("tarnlog.db"));
        engine.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });
        runner->respond("zfs send -RPnv", 0, "size\t1000\n");
        // A pull receives into a staging dataset that does not exist yet.
        runner->respondOnce("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data.zfsrep-incoming",
                            1, "", "cannot open 'tank/data.zfsrep-incoming': dataset does not exist\n");
        // Listed again after the stream: the staging tree holds what was sent.
        runner->respond("zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data.zfsrep-incoming",
                        0, "tank/data.zfsrep-incoming\treceive_resume_token\t-\n");
        runner->respond("zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data.zfsrep-incoming", 0,
                        "tank/data.zfsrep-incoming@s1\t1\t10\n");
        runner->respondContaining("receive_resume_token,written backup/data", 0, "backup/data\treceive_resume_token\t-\n");
        runner->respond("sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts zr@127.0.0.1 zfs send -RPnv", 0, "size\t2000\n");
    }

    QJsonObject mission(int action, const QString &path = "backup")
    {
        return QJsonObject{{"caption", "Nightly"}, {"action", action}, {"pool", "tank"}, {"name", "data"},
                           {"path", path}, {"host", "127.0.0.1"}, {"port", "2222"}, {"userid", "zr"},
                           {"passwd", "Secret-1"}, {"snapname", "daily"}, {"erase", 1}};
    }

    // An export file of 1,234 bytes to restore from, as a restore mission
    // names it.
    QString exportFile()
    {
        const QString file = dir.filePath("data@daily_1.gz.zsa");
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1234, 'x'));
        return file;
    }

    // The pipelines the stages ran, without the script wrapper.
    QStringList pipelines() const
    {
        QStringList result;
        for (const ProcessRequest &request : runner->spawns()) {
            EXPECT_EQ(request.program, "script");
            EXPECT_EQ(request.arguments.mid(0, 3), (QStringList{"-q", "-e", "-c"}));
            EXPECT_EQ(request.arguments.value(4), "/dev/null");
            EXPECT_EQ(request.environment.value("SHELL"), "/bin/bash");
            EXPECT_EQ(request.environment.value("LC_ALL"), "C") << "pv's numbers in one notation";
            const QString command = request.arguments.value(3);
            EXPECT_TRUE(command.startsWith("set -o pipefail; "));
            EXPECT_FALSE(command.contains("Secret-1"));
            result.append(command.mid(QString("set -o pipefail; ").size()));
        }
        return result;
    }

    QJsonObject lastEvent()
    {
        QJsonArray records;
        engine.events().log().loadByApp(records, "zfsrep");
        return records.isEmpty() ? QJsonObject() : records.first().toObject();
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    MissionDriver driver{engine};
    TQ2Journals journals;
};









TEST_F(Transfers, ReceivePoolReplacesTheLocalDatasetOnlyAfterSuccess)
{
    runner->respond("zfs list -pj", 0,
                    R"({"datasets":{"tank/data":{"type":"FILESYSTEM","properties":{}}}})");
    runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{"properties":{}}}})");
    runner->respond(kRemoteList + " backup/data", 0, "backup/data@s1\t1\t10\n");
    ASSERT_TRUE(driver.recvPool(journals, mission(2, "backup/data")));
    EXPECT_TRUE(pipelines().at(0).endsWith("zfs recv -s -u -x readonly -x mountpoint -x sharenfs -x sharesmb -o setuid=off -o devices=off tank/data.zfsrep-incoming"));
    const QStringList lines = runner->runLines();
    const int aside = lines.indexOf("zfs rename -u tank/data tank/data.zfsrep-previous");
    const int rename = lines.indexOf("zfs rename -u tank/data.zfsrep-incoming tank/data");
    const int destroyOld = lines.indexOf("zfs destroy -r tank/data.zfsrep-previous");
    ASSERT_GE(aside, 0);
    EXPECT_GT(rename, aside);
    EXPECT_GT(destroyOld, rename);
    EXPECT_EQ(lines.last(), "zfs set mountpoint=/mnt/tank/data tank/data");
    const QJsonObject event = lastEvent();
    EXPECT_EQ(event.value("level").toString(), "Information");
    EXPECT_EQ(event.value("message").toString(), "GLOG_ZFSREP_RECVPOOL: tank/data RECV backup/data");
    EXPECT_EQ(QJsonDocument::fromJson(event.value("sparefield1").toString().toUtf8()).object(),
              (QJsonObject{{"caption", "Nightly"}, {"action", 2}, {"from", "127.0.0.1:2222/backup/data"},
                           {"to", "tank/data"}, {"result", 1}}));
}

TEST_F(Transfers, InterruptedReplacementIsRecoveredFirst)
{
    // A run died after moving the old dataset aside: it gets its name back
    // before anything else happens.
    runner->respond("zfs list -pj", 0,
                    R"({"datasets":{"tank/data.zfsrep-previous":{"type":"FILESYSTEM","properties":{}}}})");
    runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{"properties":{}}}})");
    runner->respond(kRemoteList + " backup/data", 0, "backup/data@s1\t1\t10\n");
    ASSERT_TRUE(driver.recvPool(journals, mission(2, "backup/data")));
    const QStringList lines = runner->runLines();
    const int restored = lines.indexOf("zfs rename -u tank/data.zfsrep-previous tank/data");
    const int aside = lines.lastIndexOf("zfs rename -u tank/data tank/data.zfsrep-previous");
    ASSERT_GE(restored, 0);
    EXPECT_GT(aside, restored) << "the recovered dataset is then replaced like any other";
}

TEST_F(Transfers, FailedReceiveLeavesTheLocalDatasetAlone)
{
    runner->respond("zfs list -pj", 0, R"({"datasets":{"tank/data":{"type":"FILESYSTEM","properties":{}}}})");
    runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{"properties":{}}}})");
    runner->respond(kRemoteList + " backup/data", 0, "backup/data@s1\t1\t10\n");
    FakeStage failing;
    failing.exitCode = 1;
    failing.chunks = {"cannot receive: invalid stream\r\n"};
    runner->queueStage(failing);
    EXPECT_FALSE(driver.recvPool(journals, mission(2, "backup/data")));
    const QStringList lines = runner->runLines();
    EXPECT_FALSE(lines.contains("zfs destroy -r tank/data"));
    EXPECT_FALSE(lines.contains("zfs destroy -r tank/data.zfsrep-incoming"))
        << "what arrived stays for the next run to complete";
    EXPECT_FALSE(lines.join('\n').contains("zfs rename"));
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST_F(Transfers, ReceiveIntoMissingPoolFailsWithItsName)
{
    runner->respond("zpool list -pjo", 0, R"({"pools":{"other":{"properties":{}}}})");
    EXPECT_FALSE(driver.recvPool(journals, mission(2)));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_NOT_EXISTS);
    EXPECT_EQ(journals.errmsg(), QString::fromUtf8("需要恢复的pool不存在: tank"));
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}


TEST_F(Transfers, FailedSnapshotMeansNoSendAndAnErrorRecord)
{
    runner->respond("zfs snapshot", 1, "", "cannot create snapshot: out of space\n");
    EXPECT_FALSE(driver.sendPool(journals, mission(1)));
    EXPECT_TRUE(runner->spawns().isEmpty());
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST_F(Transfers, ExportWritesThroughATemporaryName)
{
    const QString exportDir = dir.filePath("backup");
    runner->respond(kLocalList, 0, "tank/data@a:b\n");
    const QString finalFile = exportDir + "/tank/data@ab.gz.zsa";
    FakeStage stage;
    stage.onStart = [finalFile] {
        QFile partial(finalFile + ".part");
        partial.open(QIODevice::WriteOnly);
        partial.write("stream");
    };
    runner->queueStage(stage);
    ASSERT_TRUE(driver.sendFile(journals, mission(3, exportDir)));
    // This machine's tool: pigz when installed, else gzip (the choice itself
    // is covered by the compressor's table).
    const QString compress = Compressor::compressStage(Compressor::current(Compressor::Settings()));
    // The compressor writes into the descriptor of the file the service made.
    const QRegularExpression intoDescriptor("\\| " + QRegularExpression::escape(compress) + " >&[0-9]+$");
    EXPECT_TRUE(intoDescriptor.match(pipelines().at(0)).hasMatch())
        << pipelines().at(0).toStdString();
    EXPECT_FALSE(pipelines().at(0).contains(finalFile)) << "no redirection to a path";
    EXPECT_TRUE(QFile::exists(finalFile));
    EXPECT_FALSE(QFile::exists(finalFile + ".part"));
    EXPECT_EQ(lastEvent().value("message").toString(), "GLOG_ZFSREP_SENDFILE: tank/data SEND " + exportDir);
}

TEST_F(Transfers, FailedExportLeavesNoFile)
{
    const QString exportDir = dir.filePath("backup");
    runner->respond(kLocalList, 0, "tank/data@a\n");
    const QString finalFile = exportDir + "/tank/data@a.gz.zsa";
    FakeStage stage;
    stage.exitCode = 1;
    stage.onStart = [finalFile] {
        QFile partial(finalFile + ".part");
        partial.open(QIODevice::WriteOnly);
    };
    runner->queueStage(stage);
    EXPECT_FALSE(driver.sendFile(journals, mission(3, exportDir)));
    EXPECT_FALSE(QFile::exists(finalFile));
    EXPECT_FALSE(QFile::exists(finalFile + ".part"));
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST_F(Transfers, ExportIsCheckedBeforeItTakesItsName)
{
    const QString exportDir = dir.filePath("backup");
    runner->respond(kLocalList, 0, "tank/data@daily_1\ntank/data@daily_2\n");
    const QString finalFile = exportDir + "/tank/data@daily_2.gz.zsa";
    FakeStage stream;
    stream.chunks = {"1.0002 500\r\n"};
    stream.onStart = [finalFile] {
        QFile partial(finalFile + ".part");
        partial.open(QIODevice::WriteOnly);
        partial.write("compressed");
    };
    int rateWhenChecking = -1;
    FakeStage check;
    check.exitCode = 1;
    check.standardError = "pigz: skipping: <stdin>: corrupted -- crc32 mismatch\n";
    check.onStart = [&] { rateWhenChecking = driver.lastRun()->progress().toJson().value("rate").toInt(); };
    runner->queueStage(stream);
    runner->queueStage(check);

    EXPECT_FALSE(driver.sendFile(journals, mission(3, exportDir)));
    const QStringList stages = pipelines();
    ASSERT_EQ(stages.size(), 2);
    const QString test = Compressor::testStage(Compressor::current(Compressor::Settings()));
    EXPECT_EQ(stages.at(1), "cat -- '" + finalFile + ".part' | pv -f -n -b -t -i 1 -s 10 | " + test);
    EXPECT_EQ(rateWhenChecking, 90) << "the stream is done, the check is not";
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_EQ(journals.errmsg(), "the export file " + finalFile
                                     + " failed its check: pigz: skipping: <stdin>: corrupted -- crc32 mismatch");
    EXPECT_FALSE(QFile::exists(finalFile));
    EXPECT_FALSE(QFile::exists(finalFile + ".part"));
    for (const QString &line : runner->runLines())
        EXPECT_FALSE(line.contains("destroy")) << "no snapshot erased: " << line.toStdString();
    EXPECT_LT(driver.lastRun()->progress().toJson().value("rate").toInt(), 100);
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST_F(Transfers, HungExportIsEndedAsStalledAndLeavesNoFile)
{
    engine.settings().stallTimeoutSeconds = 1;
    const QString exportDir = dir.filePath("backup");
    runner->respond(kLocalList, 0, "tank/data@a\n");
    const QString finalFile = exportDir + "/tank/data@a.gz.zsa";
    FakeStage hung;
    // Half of the 1000 bytes, counted under a decimal-comma locale, then
    // nothing more while the stage runs on.
    hung.chunks = {"1,0002 500\r\n"};
    hung.hangs = true;
    hung.onStart = [finalFile] {
        QFile partial(finalFile + ".part");
        partial.open(QIODevice::WriteOnly);
    };
    runner->queueStage(hung);
    EXPECT_FALSE(driver.sendFile(journals, mission(3, exportDir)));
    EXPECT_EQ(runner->terminated(), 1);
    EXPECT_EQ(runner->spawns().size(), 1) << "no check of a stalled stream";
    EXPECT_TRUE(journals.errmsg().startsWith("stalled: no data for 1 s")) << journals.errmsg().toStdString();
    EXPECT_EQ(driver.lastRun()->progress().toJson().value("rate").toInt(), 45) << "half the stream is 45 %";
    EXPECT_FALSE(QFile::exists(finalFile));
    EXPECT_FALSE(QFile::exists(finalFile + ".part"));
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST_F(Transfers, RestoreWhoseWholeFilePassedPvButNeverEndsIsStalled)
{
    engine.settings().stallTimeoutSeconds = 1;
    runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{"properties":{}}}})");
    const QString file = exportFile();
    FakeStage crawling;
    // pv counted the whole file and ended; the receive behind it does not.
    crawling.chunks = {"1.0001 600\r\n", "1.5003 1234\r\n"};
    crawling.hangs = true;
    runner->queueStage(crawling);
    QJsonObject restore = mission(4, file);
    restore.insert("name", "");
    EXPECT_FALSE(driver.recvFile(journals, restore));
    EXPECT_EQ(runner->terminated(), 1);
    EXPECT_TRUE(journals.errmsg().startsWith("stalled: no data for 1 s")) << journals.errmsg().toStdString();
    EXPECT_EQ(driver.lastRun()->progress().toJson().value("rate").toInt(), 99) << "never 100 before the stage ends";
    EXPECT_FALSE(runner->runLines().contains("zfs rename tank/data.zfsrep-incoming tank/data"));
    EXPECT_EQ(lastEvent().value("level").toString(), "Error");
}

TEST(ExportNames, PathAndRestoreNameRules)
{
    EXPECT_EQ(ExportRun::filePath("/backup", "tank/data@daily_20240305070809"),
              "/backup/tank/data@daily_20240305070809.gz.zsa");
    EXPECT_EQ(ExportRun::filePath("/backup", "tank/data@a:b:c"), "/backup/tank/data@abc.gz.zsa");
    EXPECT_EQ(ExportRun::filePath("", "tank/d@s"), QDir::current().absoluteFilePath("tank/d@s.gz.zsa"));
    EXPECT_EQ(RestoreRun::datasetName("", "/b/tank/data@daily_1.gz.zsa"), "data");
    EXPECT_EQ(RestoreRun::datasetName("copy", "/b/tank/data@daily_1.gz.zsa"), "copy");
    EXPECT_EQ(RestoreRun::datasetName("", "/b/plain.gz"), "");
    EXPECT_EQ(RestoreRun::datasetName("", "/b/@x.gz.zsa"), "");
}

TEST_F(Transfers, RestoreDecompressesIntoTheIncomingDataset)
{
    runner->respond("zpool list -pjo", 0, R"({"pools":{"tank":{"properties":{}}}})");
    const QString file = exportFile();
    QJsonObject restore = mission(4, file);
    restore.insert("name", "");
    ASSERT_TRUE(driver.recvFile(journals, restore));
    const QString decompress = Compressor::decompressStage(Compressor::current(Compressor::Settings()));
    // The file is read through the descriptor the service opened and
    // checked, never by its name again.
    const QString pipeline = pipelines().at(0);
    EXPECT_TRUE(QRegularExpression("^cat <&[0-9]+ \\| ").match(pipeline).hasMatch()) << pipeline.toStdString();
    EXPECT_TRUE(pipeline.endsWith(" | pv -f -n -b -t -i 1 -s 1234 | " + decompress
                                  + " | zfs recv -Fu -x mountpoint -x sharenfs -x sharesmb -o setuid=off -o devices=off"
                                    " 'tank/data.zfsrep-incoming'"))
        << pipeline.toStdString();
    EXPECT_FALSE(pipeline.contains(file));
    EXPECT_TRUE(runner->runLines().contains("zfs rename -u tank/data.zfsrep-incoming tank/data"));
    EXPECT_EQ(lastEvent().value("message").toString(), "GLOG_ZFSREP_RECVFILE: tank/data SEND " + file);
}


} // namespace
