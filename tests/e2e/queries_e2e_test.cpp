// The engine's local and remote queries against the simulator, locally and
// through the testbed's real sshd.
#include "jsonsupport.h"
#include "localqueries.h"
#include "mxzfsrep.h"
#include "tbharness.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>

namespace {

class Queries : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        tb::clearFaults();
    }
    MXZfsrep engine;
    TQ2Journals journals;
};

TEST_F(Queries, LocalPoolsSnapshotsAndSizes)
{
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/data@q1"}).ok());
    QJsonObject pools;
    ASSERT_TRUE(engine.localQueries().alload(journals, pools)) << journals.errmsg().toStdString();
    const QJsonObject tank = pools.value("tank").toObject();
    EXPECT_EQ(tank.value("size").toInt(), 4096);
    EXPECT_GT(tank.value("free").toInt(), 3000);
    const QJsonObject data = tank.value("items").toObject().value("data").toObject();
    EXPECT_EQ(data.value("path").toString(), "tank/data");
    EXPECT_EQ(data.value("type").toInt(), 1);
    EXPECT_GT(data.value("used").toDouble(), 1000000) << "the testbed's data is over 1 MiB";

    QStringList names;
    ASSERT_TRUE(engine.localQueries().snapshotAllist(journals, names, "tank/data"));
    EXPECT_EQ(names, QStringList{"tank/data@q1"});
    QJsonArray records;
    ASSERT_TRUE(engine.localQueries().snapshotAlload(journals, records));
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.at(0).toObject().value("snapshot").toString(), "q1");
    EXPECT_GT(records.at(0).toObject().value("used").toDouble(), 1000000);

    const qint64 size = engine.localQueries().snapshotSize(journals, "tank/data@q1", "");
    EXPECT_GT(size, 1300000);
    EXPECT_LT(size, 1500000);
    EXPECT_TRUE(tb::localZfs({"destroy", "tank/data@q1"}).ok());
}

TEST_F(Queries, CreateAndRemoveSnapshotsReleasingHolds)
{
    ASSERT_TRUE(engine.localQueries().snapshotCreate(journals, "tank/data@held", "tank/data"));
    ASSERT_TRUE(tb::localZfs({"hold", "keep", "tank/data@held"}).ok());
    EXPECT_FALSE(engine.localQueries().snapshotCreate(journals, "tank/data@held", "tank/data"));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(journals.errmsg().contains("dataset already exists")) << journals.errmsg().toStdString();
    ASSERT_TRUE(engine.localQueries().snapshotRemove(journals, "tank/data@held")) << journals.errmsg().toStdString();
    EXPECT_TRUE(tb::localSnapshots("tank/data").isEmpty());

    TQ2Journals quiet;
    EXPECT_FALSE(engine.localQueries().snapshotRemove(quiet, "tank/data@nope"));
    EXPECT_TRUE(quiet.segments().isEmpty()) << "a missing snapshot fails at the silent holds query";
}

TEST_F(Queries, RemoveDestroysADatasetWithHeldSnapshots)
{
    ASSERT_TRUE(tb::localZfs({"create", "tank/gone"}).ok());
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/gone@a"}).ok());
    ASSERT_TRUE(tb::localZfs({"snapshot", "tank/gone@b"}).ok());
    ASSERT_TRUE(tb::localZfs({"hold", "pin", "tank/gone@a"}).ok());
    ASSERT_TRUE(engine.localQueries().remove(journals, "tank/gone")) << journals.errmsg().toStdString();
    EXPECT_FALSE(tb::localExists("tank/gone"));
    EXPECT_FALSE(engine.localQueries().remove(journals, "tank/gone"));
    EXPECT_TRUE(journals.errmsg().contains("does not exist")) << journals.errmsg().toStdString();
}

TEST_F(Queries, RemotePoolsSnapshotsAndSizesOverSsh)
{
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/data"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/data@r1"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/data@r2"}).ok());

    QJsonObject pools;
    ASSERT_TRUE(engine.remoteQueries().remotePools(journals, pools, tb::host(), tb::port(), tb::user(), tb::password()))
        << journals.errmsg().toStdString();
    EXPECT_EQ(pools.value("backup").toObject().value("size").toInt(), 4096);

    QStringList names{"kept"};
    ASSERT_TRUE(engine.remoteQueries().remoteSnapshotAllist(journals, names, tb::host(), tb::port(), tb::user(), tb::password(),
                                            "backup/data"));
    EXPECT_EQ(names, (QStringList{"kept", "backup/data@r1", "backup/data@r2"}));

    QJsonObject tree;
    ASSERT_TRUE(engine.remoteQueries().remoteSnapshotAlload(journals, tree, tb::host(), tb::port(), tb::user(), tb::password()));
    EXPECT_EQ(tree.value("backup").toObject().value("data").toArray(),
              (QJsonArray{"backup/data@r1", "backup/data@r2"}));

    EXPECT_GT(engine.remoteQueries().remoteSnapshotSize(journals, tb::host(), tb::port(), tb::user(), tb::password(),
                                        "backup/data@r2", ""),
              0);
    EXPECT_GT(engine.remoteQueries().remoteSnapshotSize(journals, tb::host(), tb::port(), tb::user(), tb::password(),
                                        "backup/data@r2", "backup/data@r1"),
              0);
    tb::remoteZfs({"destroy", "-r", "backup/data"});
}

// Both hosts with the tools of OpenZFS 2.2 (no -j) answer every query as
// with 2.3: the local listings in their tab-separated form, the remote ones
// (always tab-separated) unchanged.
TEST_F(Queries, OpenZfs22ToolsAnswerLikeOpenZfs23)
{
    ASSERT_TRUE(tb::localZfs({"create", "tank/data/with space"}).ok());
    ASSERT_TRUE(tb::localZfs({"snapshot", "-r", "tank/data@v 1"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/data"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/data@r1"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/data@r2"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"create", "backup/my data"}).ok());
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/my data@r 3"}).ok());

    auto answers = [this](JsonSupport &support) {
        TQ2Journals j;
        QJsonObject pools, remotePools, tree;
        QJsonArray snapshots;
        QStringList names;
        const LocalQueries local(engine.runner(), nullptr, &support);
        EXPECT_TRUE(local.alload(j, pools)) << j.errmsg().toStdString();
        EXPECT_TRUE(local.snapshotAlload(j, snapshots));
        const RemoteQueries &remote = engine.remoteQueries();
        EXPECT_TRUE(remote.remotePools(j, remotePools, tb::host(), tb::port(), tb::user(), tb::password()));
        EXPECT_TRUE(remote.remoteSnapshotAllist(j, names, tb::host(), tb::port(), tb::user(), tb::password(), "backup/data"));
        EXPECT_TRUE(remote.remoteSnapshotAlload(j, tree, tb::host(), tb::port(), tb::user(), tb::password()));
        const qint64 size =
            remote.remoteSnapshotSize(j, tb::host(), tb::port(), tb::user(), tb::password(), "backup/data@r2", "backup/data@r1");
        EXPECT_TRUE(j.segments().isEmpty()) << j.errmsg().toStdString();
        return QJsonObject{{"pools", pools},       {"snapshots", snapshots}, {"remotePools", remotePools},
                           {"names", QJsonArray::fromStringList(names)}, {"tree", tree}, {"size", size}};
    };
    JsonSupport modern;
    const QJsonObject expected = answers(modern);
    EXPECT_EQ(modern.state(), JsonSupport::State::Supported);
    EXPECT_TRUE(expected.value("pools").toObject().value("tank").toObject().value("items").toObject().contains("data/with space"));
    EXPECT_EQ(expected.value("snapshots").toArray().size(), 2);
    EXPECT_EQ(expected.value("names").toArray().size(), 2);
    EXPECT_EQ(expected.value("tree").toObject().value("backup").toObject().value("my data").toArray(),
              QJsonArray{"backup/my data@r 3"});

    tb::setLocalFault("version", "2.2.7");
    tb::setRemoteFault("version", "2.2.7");
    JsonSupport old;
    const QJsonObject actual = answers(old);
    EXPECT_EQ(old.state(), JsonSupport::State::Refused);
    EXPECT_EQ(QJsonDocument(actual).toJson().toStdString(), QJsonDocument(expected).toJson().toStdString());

    tb::clearFaults();
    tb::localZfs({"destroy", "-r", "tank/data/with space"});
    tb::localZfs({"destroy", "-r", "tank/data@v 1"});
    tb::remoteZfs({"destroy", "-r", "backup/data"});
    tb::remoteZfs({"destroy", "-r", "backup/my data"});
}

TEST_F(Queries, WrongPasswordAndClosedPortReportSshsOwnMessage)
{
    const QString secret = "Wrong-" + tb::password();
    QJsonObject pools;
    EXPECT_FALSE(engine.remoteQueries().remotePools(journals, pools, tb::host(), tb::port(), tb::user(), secret));
    EXPECT_EQ(journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(journals.errmsg().contains("Permission denied")) << journals.errmsg().toStdString();

    TQ2Journals closed;
    EXPECT_FALSE(engine.remoteQueries().remotePools(closed, pools, tb::host(), 1, tb::user(), tb::password()));
    EXPECT_EQ(closed.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_TRUE(closed.errmsg().contains("Connection refused")) << closed.errmsg().toStdString();

    for (TQ2Journals *j : {&journals, &closed}) {
        QJsonObject response;
        j->toRetObject(response, true);
        const QByteArray text = QJsonDocument(response).toJson();
        EXPECT_FALSE(text.contains(secret.toUtf8()));
        EXPECT_FALSE(text.contains(tb::password().toUtf8()));
    }
}

TEST_F(Queries, HostileDatasetNameReachesTheRemoteAsOneWord)
{
    QStringList names;
    const QString hostile = "backup/x; touch /tmp/zfsrep-remote-pwned";
    EXPECT_FALSE(engine.remoteQueries().remoteSnapshotAllist(journals, names, tb::host(), tb::port(), tb::user(), tb::password(),
                                             hostile));
    EXPECT_TRUE(journals.errmsg().contains("dataset does not exist") || journals.errmsg().contains("invalid"))
        << journals.errmsg().toStdString();
    EXPECT_FALSE(QFile::exists("/tmp/zfsrep-remote-pwned"));
}

} // namespace
