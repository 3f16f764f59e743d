#include "fakerunner.h"
#include "fixtures.h"
#include "jsonsupport.h"
#include "localqueries.h"
#include "mxzfsrep.h"
#include "tq2error.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

struct Engine {
    Engine()
    {
        engine.setRunner(runner);
    }
    std::shared_ptr<FakeRunner> runner = std::make_shared<FakeRunner>();
    MXZfsrep engine;
    TQ2Journals journals;
};

TEST(LocalQueries, AlloadRunsBothListingsAndMergesPools)
{
    Engine e;
    e.runner->respond("zfs list -pj", 0, fixture("zfs/zfs-list-r-pj.stdout"));
    e.runner->respond("zpool list -pjo name,size,free", 0, fixture("zfs/zpool-list-pjo-name-size-free.stdout"));
    QJsonObject pools{{"kept", 1}, {"tank", "old"}};
    ASSERT_TRUE(e.engine.localQueries().alload(e.journals, pools));
    EXPECT_EQ(e.runner->runLines(), (QStringList{"zfs list -pj", "zpool list -pjo name,size,free"}));
    EXPECT_EQ(e.runner->runs().at(0).startTimeoutMs, 5000);
    EXPECT_EQ(e.runner->runs().at(0).finishTimeoutMs, 25000);
    EXPECT_EQ(pools.value("kept").toInt(), 1);
    EXPECT_TRUE(pools.value("tank").toObject().contains("items"));
}

TEST(LocalQueries, FailedListingIsJournalledWithToolMessage)
{
    Engine e;
    e.runner->respond("zfs list -pj", 1, "", "cannot open 'tank': dataset does not exist\n");
    QJsonObject pools;
    EXPECT_FALSE(e.engine.localQueries().alload(e.journals, pools));
    EXPECT_EQ(e.runner->runLines().size(), 1) << "a failed first listing skips the second";
    EXPECT_EQ(e.journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_EQ(e.journals.errmsg(), "cannot open 'tank': dataset does not exist\n");
    const QJsonObject entry = e.journals.segments().at(0).toObject();
    EXPECT_EQ(entry.value("action").toString(), "zfs list -pj");
    EXPECT_TRUE(entry.value("place").toString().startsWith("LocalQueries::alload#"));
    EXPECT_FALSE(entry.value("success").toBool(true));

    Engine second;
    second.runner->respond("zpool list", 2, "", "boom");
    EXPECT_FALSE(second.engine.localQueries().alload(second.journals, pools));
    EXPECT_EQ(second.journals.segments().at(0).toObject().value("action").toString(), "zpool list -pjo name,size,free");
}

TEST(LocalQueries, SnapshotListingIsSilentAndKeepsListOnFailure)
{
    Engine e;
    e.runner->respond("zfs list -t snapshot -H -o name tank/data", 0, fixture("zfs/zfs-list-snap-H-o-name.stdout"));
    e.runner->respond("zfs list -t snapshot -H -o name tank/none", 1, "", "cannot open");
    QStringList names{"stale"};
    ASSERT_TRUE(e.engine.localQueries().snapshotAllist(e.journals, names, "tank/data"));
    EXPECT_EQ(names, (QStringList{"tank/data@a", "tank/data@b"}));
    QStringList kept{"stays"};
    EXPECT_FALSE(e.engine.localQueries().snapshotAllist(e.journals, kept, "tank/none"));
    EXPECT_EQ(kept, QStringList{"stays"});
    EXPECT_TRUE(e.journals.segments().isEmpty());
    e.engine.localQueries().snapshotAllist(e.journals, names, "");
    EXPECT_EQ(e.runner->runLines().last(), "zfs list -t snapshot -H -o name");
    EXPECT_EQ(e.runner->runs().last().finishTimeoutMs, 3600000);
}

TEST(LocalQueries, RemoveReleasesHoldsThenDestroysRecursively)
{
    Engine e;
    e.runner->respond("zfs list -t snapshot", 0, "tank/data@a\ntank/data@b\n");
    e.runner->respond("zfs holds -H tank/data@a tank/data@b", 0, fixture("zfs/zfs-holds-H.stdout"));
    ASSERT_TRUE(e.engine.localQueries().remove(e.journals, "tank/data"));
    EXPECT_EQ(e.runner->runLines(), (QStringList{
                                        "zfs list -t snapshot -H -o name tank/data",
                                        "zfs holds -H tank/data@a tank/data@b",
                                        "zfs release -r keep tank/data@b",
                                        "zfs release -r replica tank/data@b",
                                        "zfs destroy -r tank/data",
                                    }));
    EXPECT_EQ(e.runner->runs().at(2).finishTimeoutMs, -1);
    EXPECT_EQ(e.runner->runs().last().finishTimeoutMs, 1200000);
}

TEST(LocalQueries, RemoveWithoutSnapshotsGoesStraightToDestroy)
{
    Engine e;
    e.runner->respond("zfs list -t snapshot", 0, "");
    e.runner->respond("zfs destroy -r", 1, "", "cannot destroy 'tank/data': dataset is busy\n");
    EXPECT_FALSE(e.engine.localQueries().remove(e.journals, "tank/data"));
    EXPECT_EQ(e.runner->runLines(), (QStringList{"zfs list -t snapshot -H -o name tank/data", "zfs destroy -r tank/data"}));
    EXPECT_EQ(e.journals.segments().at(0).toObject().value("action").toString(), "zfs destroy -r tank/data");
}

TEST(LocalQueries, SnapshotRemoveStopsWhenHoldsQueryFails)
{
    Engine e;
    e.runner->respond("zfs holds -H tank/data@nope", 1, "", "cannot open 'tank/data@nope': dataset does not exist\n");
    EXPECT_FALSE(e.engine.localQueries().snapshotRemove(e.journals, "tank/data@nope"));
    EXPECT_EQ(e.runner->runLines(), QStringList{"zfs holds -H tank/data@nope"});
    EXPECT_TRUE(e.journals.segments().isEmpty());

    Engine held;
    held.runner->respond("zfs holds -H", 0, "tank/data@b\tkeep\tThu Dec  7 19:30 2023\n");
    EXPECT_TRUE(held.engine.localQueries().snapshotRemove(held.journals, "tank/data@b"));
    EXPECT_EQ(held.runner->runLines(), (QStringList{"zfs holds -H tank/data@b", "zfs release -r keep tank/data@b",
                                                    "zfs destroy tank/data@b"}));
}

TEST(LocalQueries, SnapshotAlloadUsesFullPathAndAppends)
{
    Engine e;
    e.runner->respond("/usr/sbin/zfs list -t snapshot -H -pjo name,used,refer", 0, fixture("zfs/zfs-list-snap-Hpj.stdout"));
    QJsonArray snapshots{"existing"};
    ASSERT_TRUE(e.engine.localQueries().snapshotAlload(e.journals, snapshots));
    EXPECT_EQ(snapshots.size(), 3);
}

TEST(LocalQueries, SnapshotSizeArgumentsAndFailure)
{
    Engine e;
    e.runner->respond("zfs send -RPnv -I tank/data@a tank/data@c", 0, fixture("zfs/zfs-send-nvP-R-I.stdout"));
    EXPECT_EQ(e.engine.localQueries().snapshotSize(e.journals, "tank/data@c", "tank/data@a"), 1077728);
    e.runner->respond("zfs send -RPnv tank/data@x", 1, "", "could not send\n");
    EXPECT_EQ(e.engine.localQueries().snapshotSize(e.journals, "tank/data@x", ""), 0);
    EXPECT_EQ(e.journals.segments().last().toObject().value("action").toString(), "zfs send -RPnv tank/data@x");
    EXPECT_EQ(e.journals.err(), TQ2Error::ERR_EXECUTE);
}

TEST(LocalQueries, SnapshotCreateFailureNamesTheSnapshot)
{
    Engine e;
    e.runner->respond("zfs snapshot", 1, "", "cannot create snapshot 'tank/data@a': dataset already exists\n");
    EXPECT_FALSE(e.engine.localQueries().snapshotCreate(e.journals, "tank/data@a", "tank/data"));
    EXPECT_EQ(e.journals.segments().at(0).toObject().value("action").toString(), "zfs snapshot tank/data@a");
}

// A runner that answers like OpenZFS 2.2: every -j listing is refused, the
// tab-separated ones answer the recorded samples of the same state as the
// JSON samples the tests above use.
void answerAsOpenZfs22(FakeRunner &runner)
{
    runner.respond("zfs list -pj", 2, "", fixture("zfs/zfs-list-pj-2.2.stderr"));
    runner.respond("zpool list -pjo", 2, "", fixture("zfs/zpool-list-pjo-2.2.stderr"));
    runner.respond("/usr/sbin/zfs list -t snapshot -H -pjo", 2, "", fixture("zfs/zfs-list-pj-2.2.stderr"));
    runner.respond("zfs list -H -p -o name,type,used,available,mountpoint", 0,
                   fixture("zfs/zfs-list-r-Hp-o-name-type-used-available-mountpoint.stdout"));
    runner.respond("zpool list -H -p -o name,size,free", 0, fixture("zfs/zpool-list-Hpo-name-size-free.stdout"));
    runner.respond("/usr/sbin/zfs list -t snapshot -H -p -o name,used,referenced", 0,
                   fixture("zfs/zfs-list-snap-Hp-o-name-used-referenced.stdout"));
}

TEST(LocalQueries, WithoutJsonTheTextFormsGiveTheSameAnswers)
{
    FakeRunner json;
    json.respond("zfs list -pj", 0, fixture("zfs/zfs-list-r-pj.stdout"));
    json.respond("zpool list -pjo name,size,free", 0, fixture("zfs/zpool-list-pjo-name-size-free.stdout"));
    json.respond("/usr/sbin/zfs list -t snapshot -H -pjo", 0, fixture("zfs/zfs-list-snap-Hpj.stdout"));
    JsonSupport modern;
    TQ2Journals journals;
    QJsonObject expectedPools;
    QJsonArray expectedSnapshots;
    ASSERT_TRUE(LocalQueries(json, nullptr, &modern).alload(journals, expectedPools));
    ASSERT_TRUE(LocalQueries(json, nullptr, &modern).snapshotAlload(journals, expectedSnapshots));
    EXPECT_EQ(modern.state(), JsonSupport::State::Supported);
    ASSERT_EQ(expectedSnapshots.size(), 2);

    FakeRunner text;
    answerAsOpenZfs22(text);
    JsonSupport old;
    QJsonObject pools{{"kept", 1}};
    ASSERT_TRUE(LocalQueries(text, nullptr, &old).alload(journals, pools)) << journals.errmsg().toStdString();
    EXPECT_EQ(old.state(), JsonSupport::State::Refused);
    EXPECT_EQ(text.runLines(), (QStringList{"zfs list -pj", "zfs list -H -p -o name,type,used,available,mountpoint",
                                            "zpool list -H -p -o name,size,free"}))
        << "once refused, -j is not tried again";
    EXPECT_EQ(text.runs().at(1).finishTimeoutMs, 25000);
    expectedPools.insert("kept", 1);
    EXPECT_EQ(QJsonDocument(pools).toJson(), QJsonDocument(expectedPools).toJson());

    QJsonArray snapshots;
    ASSERT_TRUE(LocalQueries(text, nullptr, &old).snapshotAlload(journals, snapshots));
    EXPECT_EQ(snapshots, expectedSnapshots);
    EXPECT_EQ(text.runLines().last(), "/usr/sbin/zfs list -t snapshot -H -p -o name,used,referenced");
    EXPECT_EQ(text.runs().last().finishTimeoutMs, 3600000);
    EXPECT_EQ(text.runLines().size(), 4) << "the snapshot listing went straight to the text form";
    EXPECT_TRUE(journals.segments().isEmpty()) << "a refusal of -j is no failure";
}

TEST(LocalQueries, OnlyTheRefusalOfJsonSwitchesForms)
{
    // A listing that fails for another reason is reported as it is, and the
    // next one still tries -j.
    FakeRunner runner;
    runner.respondOnce("zfs list -pj", 1, "", "cannot open 'tank': pool I/O is currently suspended\n");
    runner.respond("zfs list -pj", 0, fixture("zfs/zfs-list-r-pj.stdout"));
    JsonSupport support;
    TQ2Journals journals;
    QJsonObject pools;
    EXPECT_FALSE(LocalQueries(runner, nullptr, &support).alload(journals, pools));
    EXPECT_EQ(journals.segments().at(0).toObject().value("action").toString(), "zfs list -pj");
    EXPECT_EQ(support.state(), JsonSupport::State::Unknown);
    TQ2Journals second;
    EXPECT_TRUE(LocalQueries(runner, nullptr, &support).alload(second, pools));
    EXPECT_EQ(runner.runLines().mid(1), (QStringList{"zfs list -pj", "zpool list -pjo name,size,free"}));

    // A failing text form is journalled under its own command.
    FakeRunner old;
    answerAsOpenZfs22(old);
    old.respondOnce("zpool list -H", 1, "", "internal error: out of memory\n");
    JsonSupport refused;
    TQ2Journals failed;
    EXPECT_FALSE(LocalQueries(old, nullptr, &refused).alload(failed, pools));
    EXPECT_EQ(failed.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_EQ(failed.segments().at(0).toObject().value("action").toString(), "zpool list -H -p -o name,size,free");
    EXPECT_EQ(failed.errmsg(), "internal error: out of memory\n");

    // Tools that lose -j while the service runs (a downgrade) are followed.
    FakeRunner downgraded;
    answerAsOpenZfs22(downgraded);
    JsonSupport known;
    ProcessOutcome answered;
    answered.started = answered.finished = true;
    answered.exitCode = 0;
    EXPECT_FALSE(known.note(answered));
    EXPECT_EQ(known.state(), JsonSupport::State::Supported);
    QJsonArray snapshots;
    EXPECT_TRUE(LocalQueries(downgraded, nullptr, &known).snapshotAlload(failed, snapshots));
    EXPECT_EQ(snapshots.size(), 2);
    EXPECT_EQ(known.state(), JsonSupport::State::Refused);
}

TEST(RemoteQueries, SshpassArgumentsAndQuotedNames)
{
    Engine e;
    e.runner->respond("sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 root@h zfs list -H -o name", 0,
                      "backup/data@a\n  backup/data@b \n");
    QStringList names{"existing", "backup/data@a"};
    ASSERT_TRUE(e.engine.remoteQueries().remoteSnapshotAllist(e.journals, names, "h", 2222, "root", "pw'd", "backup/my data"));
    EXPECT_EQ(names, (QStringList{"existing", "backup/data@a", "backup/data@a", "backup/data@b"}));
    const ProcessRequest request = e.runner->runs().at(0);
    EXPECT_EQ(request.program, "sshpass");
    EXPECT_EQ(request.arguments, (QStringList{"-e", "ssh", "-p", "2222", "-o", "StrictHostKeyChecking=accept-new", "-o", "UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts", "-o", "ServerAliveInterval=15", "-o",
                                              "ServerAliveCountMax=4", "-o", "ConnectTimeout=20", "root@h",
                                              "zfs list -H -o name -t snapshot 'backup/my data'"}));
    EXPECT_EQ(request.environment.value("SSHPASS"), "pw'd");
}

TEST(RemoteQueries, FailureJournalsRemoteCommandNeverPassword)
{
    Engine e;
    e.runner->respond("sshpass", 5, "", "Permission denied, please try again.\r\n");
    QJsonObject pools;
    EXPECT_FALSE(e.engine.remoteQueries().remotePools(e.journals, pools, "127.0.0.1", 22, "zr", "Secret-1"));
    EXPECT_EQ(e.journals.err(), TQ2Error::ERR_EXECUTE);
    EXPECT_EQ(e.journals.errmsg(), "Permission denied, please try again.\r\n");
    const QJsonObject entry = e.journals.segments().at(0).toObject();
    EXPECT_EQ(entry.value("action").toString(), "zpool list -Hpo name,size,free");
    QJsonObject response;
    e.journals.toRetObject(response, true);
    EXPECT_FALSE(QString::fromUtf8(QJsonDocument(response).toJson()).contains("Secret-1"));
}

TEST(RemoteQueries, BadEndpointIsRefusedBeforeAnythingRuns)
{
    Engine e;
    QJsonObject pools;
    EXPECT_FALSE(e.engine.remoteQueries().remotePools(e.journals, pools, "-oProxyCommand=touch /tmp/x", 22, "root", "pw"));
    EXPECT_EQ(e.journals.err(), TQ2Error::ERR_PARAMS);
    EXPECT_EQ(e.journals.errmsg(), QString::fromUtf8("参数无效: host"));
    QStringList names;
    EXPECT_FALSE(e.engine.remoteQueries().remoteSnapshotAllist(e.journals, names, "h", 22, "a b", "pw", "x"));
    EXPECT_EQ(e.journals.errmsg(), QString::fromUtf8("参数无效: userid"));
    EXPECT_TRUE(e.runner->runs().isEmpty());
}

TEST(RemoteQueries, SnapshotTreeAndSize)
{
    Engine e;
    e.runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 u@h zfs list -Ho name -t snapshot", 0,
                      "tank/a@s1\ntank/a/b@s2\n");
    e.runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 u@h zfs list -pHo name,mountpoint", 0,
                      "tank\t/tank\ntank/a\t/tank/a\ntank/a/b\t/tank/a/b\n");
    QJsonObject tree{{"stale", 1}};
    ASSERT_TRUE(e.engine.remoteQueries().remoteSnapshotAlload(e.journals, tree, "h", 22, "u", "p"));
    EXPECT_EQ(tree, (QJsonObject{{"tank", QJsonObject{{"a", QJsonArray{"tank/a@s1"}}}}}));
    EXPECT_EQ(e.runner->runs().at(0).startTimeoutMs, 30000);
    EXPECT_EQ(e.runner->runs().at(1).startTimeoutMs, 5000);

    e.runner->respond("sshpass -e ssh -p 22 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 -o ServerAliveCountMax=4 -o ConnectTimeout=20 u@h zfs send -RPnv", 0, "size\t4096\n");
    EXPECT_EQ(e.engine.remoteQueries().remoteSnapshotSize(e.journals, "h", 22, "u", "p", "tank/a@s1", ""), 4096);
    EXPECT_EQ(e.runner->runs().last().arguments.last(), "zfs send -RPnv 'tank/a@s1'");
    e.engine.remoteQueries().remoteSnapshotSize(e.journals, "h", 22, "u", "p", "tank/a@s2", "tank/a@s1");
    EXPECT_EQ(e.runner->runs().last().arguments.last(), "zfs send -RPnv -I 'tank/a@s1' 'tank/a@s2'");
}

} // namespace
