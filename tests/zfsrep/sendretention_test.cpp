// A send mission with retention rules against a scripted runner: its
// snapshot carries the mission's mark, a verified run prunes both sides by
// their rules over the run's commands, and a failed run prunes nothing.
#include "fakerunner.h"
#include "missiondriver.h"
#include "mxzfsrep.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

const QString kSsh = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 ";
const QString kLocalList = "zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data";
const QString kLocalToken = "zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data";
const QString kRemoteList = kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r backup/data";
const QString kRemoteToken =
    kSsh + "/usr/sbin/zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written backup/data";
const QString kLocalOwners = "zfs list -H -p -o name,guid,createtxg,zfsrep:mission -t snapshot -s createtxg -r tank/data";
const QString kRemoteOwners =
    kSsh + "/usr/sbin/zfs list -H -p -o name,guid,createtxg,zfsrep:mission -t snapshot -s createtxg -r backup/data";
const QString kCreated = "tank/data@daily_20240305070809";

QByteArray listing(const QString &dataset, const QStringList &names, bool owners = false, const QString &mark = {})
{
    QByteArray out;
    int txg = 100;
    for (int i = 0; i < names.size(); ++i)
        out += (dataset + "@" + names.at(i) + "\t" + QString::number(i + 1) + "\t" + QString::number(txg++)
                + (owners ? "\t" + (mark.isEmpty() ? QStringLiteral("-") : mark) : QString()) + "\n")
                   .toUtf8();
    return out;
}

class SendRetention : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        engine.setDatabasePath(dir.filePath("zfsrep.db"));
        ASSERT_TRUE(engine.loadConfigure(journals, QJsonObject()));
        engine.setRunner(runner);
        engine.settings().sshControlDirectory = QString();
        engine.events().open(dir.filePath("tarnlog.db"));
        engine.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });
        runner->respond("zfs send -nvP", 0, "size\t1000\n");
        runner->respond(kLocalToken, 0, "tank/data\treceive_resume_token\t-\n");
        runner->respond(kRemoteToken, 0, "backup/data\treceive_resume_token\t-\n");
        mark = engine.settings().instance + ":7";
    }

    QJsonObject mission() const
    {
        return QJsonObject{{"msnno", 7},          {"caption", "Nightly"}, {"action", 1},         {"pool", "tank"},
                           {"name", "data"},      {"path", "backup"},     {"host", "127.0.0.1"}, {"port", "2222"},
                           {"userid", "zr"},      {"passwd", "Secret-1"}, {"snapname", "daily"}, {"erase", 1},
                           {"keepsource", "1"},   {"keeptarget", "2"}};
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    MissionDriver driver{engine};
    TQ2Journals journals;
    QString mark;
    const QStringList before{"daily_20240303070809", "daily_20240304070809"};
    const QStringList after{"daily_20240303070809", "daily_20240304070809", "daily_20240305070809"};
};

TEST_F(SendRetention, VerifiedRunPrunesBothSidesByTheirRules)
{
    runner->respond(kLocalList, 0, listing("tank/data", after));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", before));
    runner->respondOnce(kRemoteList, 0, listing("backup/data", before));
    runner->respond(kRemoteList, 0, listing("backup/data", after));
    runner->respondOnce(kLocalOwners, 0, listing("tank/data", after, true, mark));
    runner->respondOnce(kRemoteOwners, 0, listing("backup/data", after, true, mark));
    runner->respondOnce(kLocalOwners, 0, listing("tank/data", after.mid(2), true, mark));
    runner->respondOnce(kRemoteOwners, 0, listing("backup/data", after.mid(1), true, mark));
    FakeStage moving;
    moving.chunks = {"1.0001 500\r\n"};
    runner->queueStage(moving);
    ASSERT_TRUE(driver.sendPool(journals, mission())) << journals.errmsg().toStdString();
    const QStringList lines = runner->runLines();
    EXPECT_TRUE(lines.contains("zfs snapshot -r -o zfsrep:mission=" + mark + " " + kCreated));
    EXPECT_TRUE(lines.contains("zfs destroy tank/data@daily_20240303070809,daily_20240304070809"));
    EXPECT_TRUE(lines.contains(kSsh + "s=0; /usr/sbin/zfs destroy backup/data@daily_20240303070809 || s=1; exit $s"));
    EXPECT_TRUE(lines.filter("destroy -r").isEmpty()) << "a source rule takes the place of erase";
    EXPECT_EQ(driver.lastRun()->record().prunedSource, 2);
    EXPECT_EQ(driver.lastRun()->record().prunedTarget, 1);
}

TEST_F(SendRetention, FailedRunPrunesNothing)
{
    runner->respond(kLocalList, 0, listing("tank/data", after));
    runner->respond(kRemoteList, 0, listing("backup/data", before));
    FakeStage failing;
    failing.chunks = {"1.0 0\r\ncannot receive: failed to read from stream\r\n"};
    failing.exitCode = 1;
    runner->queueStage(failing);
    EXPECT_FALSE(driver.sendPool(journals, mission()));
    const QStringList lines = runner->runLines();
    EXPECT_TRUE(lines.filter("zfsrep:mission -t snapshot").isEmpty()) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression("zfs destroy [^-]")).isEmpty()) << lines.join('\n').toStdString();
    EXPECT_EQ(driver.lastRun()->record().prunedSource, 0);
}

} // namespace
