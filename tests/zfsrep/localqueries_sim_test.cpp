// LocalQueries against the zfs simulator of the build tree, playing OpenZFS
// 2.3 (JSON listings) and 2.2 (no -j): for the same pool state both give the
// same answers, byte for byte. No root needed: the simulator keeps its state
// in a temporary directory.
#include "jsonsupport.h"
#include "localqueries.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString kSimDir = QStringLiteral(ZFSREP_BINARY_DIR "/sim");

// The real runner with `zfs`, `zpool` and `/usr/sbin/zfs` replaced by the
// simulator's links and its state root set.
class SimRunner : public ProcessRunner
{
public:
    explicit SimRunner(const QString &root) : root(root) {}

    ProcessOutcome run(const ProcessRequest &request) override { return real.run(redirected(request)); }
    std::unique_ptr<WatchedProcess> spawn(const ProcessRequest &request) override
    {
        return real.spawn(redirected(request));
    }
    QStringList programs; // as asked for, with their first arguments

private:
    ProcessRequest redirected(ProcessRequest request)
    {
        programs.append(request.program + QLatin1Char(' ') + request.arguments.mid(0, 4).join(QLatin1Char(' ')));
        request.program = kSimDir + (request.program == QLatin1String("zpool") ? "/zpool" : "/zfs");
        request.environment.insert(QStringLiteral("ZFS_SIM_ROOT"), root);
        return request;
    }
    QString root;
    QProcessRunner real;
};

class SimQueries : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFile::exists(kSimDir + "/zfs") || !QFile::exists(kSimDir + "/zpool"))
            GTEST_SKIP() << "the simulator is not built (target zfs-sim): " << kSimDir.toStdString();
        ASSERT_TRUE(dir.isValid());
        root = dir.filePath("root");
        // Two pools; names and a mount point with spaces; a nested file
        // system; snapshots with different sizes; mount points none and legacy.
        shell(R"(set -e
zpool create tank 4G
zpool create -m "/srv/back up" backup 1G
zfs create "tank/my data"
zfs create -p "tank/my data/deeper/still"
zfs create -o mountpoint=none tank/hidden
zfs create -o mountpoint=legacy tank/old
head -c 300000 /dev/urandom > "$(zfs sim-path 'tank/my data')/blob"
zfs snapshot "tank/my data@first one"
head -c 700000 /dev/urandom > "$(zfs sim-path 'tank/my data')/blob"
zfs snapshot -r "tank/my data@second"
zfs snapshot tank@root
zfs create backup/copy
)");
    }

    void shell(const QString &script)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ZFS_SIM_ROOT", root);
        environment.insert("PATH", kSimDir + ":" + environment.value("PATH"));
        process.setProcessEnvironment(environment);
        process.start("/bin/sh", {"-c", script});
        ASSERT_TRUE(process.waitForFinished(60000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().constData();
    }

    void playVersion(const QByteArray &version)
    {
        QFile knob(root + "/faults/version");
        ASSERT_TRUE(knob.open(QIODevice::WriteOnly));
        knob.write(version + "\n");
    }

    struct Answers {
        QByteArray pools;
        QByteArray snapshots;
    };
    Answers answers(JsonSupport &support, SimRunner &runner)
    {
        TQ2Journals journals;
        QJsonObject pools;
        QJsonArray snapshots;
        EXPECT_TRUE(LocalQueries(runner, nullptr, &support).alload(journals, pools)) << journals.errmsg().toStdString();
        EXPECT_TRUE(LocalQueries(runner, nullptr, &support).snapshotAlload(journals, snapshots));
        return {QJsonDocument(pools).toJson(), QJsonDocument(snapshots).toJson()};
    }

    QTemporaryDir dir;
    QString root;
};

TEST_F(SimQueries, OpenZfs22AnswersLikeOpenZfs23)
{
    SimRunner modernRunner(root);
    JsonSupport modern;
    const Answers json = answers(modern, modernRunner);
    EXPECT_EQ(modern.state(), JsonSupport::State::Supported);
    EXPECT_TRUE(modernRunner.programs.at(0).startsWith("zfs list -pj"));

    for (const QByteArray version : {"2.2.7", "2.1.11"}) {
        SCOPED_TRACE(version.constData());
        playVersion(version);
        SimRunner oldRunner(root);
        JsonSupport old;
        const Answers text = answers(old, oldRunner);
        EXPECT_EQ(old.state(), JsonSupport::State::Refused);
        EXPECT_EQ(oldRunner.programs, (QStringList{"zfs list -pj", "zfs list -H -p -o", "zpool list -H -p -o",
                                                   "/usr/sbin/zfs list -t snapshot -H"}));
        EXPECT_EQ(text.pools.toStdString(), json.pools.toStdString());
        EXPECT_EQ(text.snapshots.toStdString(), json.snapshots.toStdString());
    }

    // The answers hold what the pools hold (not two equal empty answers).
    const QJsonObject pools = QJsonDocument::fromJson(json.pools).object();
    const QJsonObject items = pools.value("tank").toObject().value("items").toObject();
    EXPECT_EQ(items.keys(), (QStringList{"hidden", "my data", "my data/deeper", "my data/deeper/still", "old"}));
    EXPECT_EQ(items.value("my data").toObject().value("mountpoint").toString(), "/tank/my data");
    EXPECT_GT(items.value("my data").toObject().value("used").toDouble(), 1000000);
    EXPECT_EQ(pools.value("backup").toObject().value("items").toObject().value("copy").toObject().value("mountpoint"),
              "/srv/back up/copy");
    QMap<QString, QJsonObject> snapshots;
    for (const QJsonValue &record : QJsonDocument::fromJson(json.snapshots).array())
        snapshots.insert(record.toObject().value("name").toString(), record.toObject());
    EXPECT_EQ(snapshots.keys(), (QStringList{"tank/my data/deeper/still@second", "tank/my data/deeper@second",
                                             "tank/my data@first one", "tank/my data@second", "tank@root"}));
    const QJsonObject first = snapshots.value("tank/my data@first one");
    EXPECT_EQ(first.value("pool").toString(), "tank");
    EXPECT_EQ(first.value("dataset").toString(), "tank/my data");
    EXPECT_EQ(first.value("snapshot").toString(), "first one");
    EXPECT_GT(first.value("used").toDouble(), 300000);
    EXPECT_EQ(snapshots.value("tank@root").value("dataset").toString(), "tank");
}

TEST_F(SimQueries, EmptyAndMissingPools)
{
    shell("zfs destroy -r tank/hidden && zpool destroy backup && zpool destroy tank");
    for (const QByteArray version : {"2.3.0", "2.2.7"}) {
        SCOPED_TRACE(version.constData());
        playVersion(version);
        SimRunner runner(root);
        JsonSupport support;
        const Answers none = answers(support, runner);
        EXPECT_EQ(none.pools, "{\n}\n");
        EXPECT_EQ(none.snapshots, "[\n]\n");
    }
}

} // namespace
