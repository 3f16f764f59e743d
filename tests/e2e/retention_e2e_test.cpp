// Retention rules on the testbed: a small tree whose series history was made
// with past stamps (marked and unmarked own snapshots, an admin's snapshot,
// another mission's, held ones), replicated, then runs with a rule per side.
// After every run each side holds what its rule names of the mission's own
// snapshots plus everything that is not its own or is held, every run after
// the first is incremental from the previous run's snapshot, and the run
// history counts what went.
#include "ownsnapshots.h"
#include "retentionrule.h"
#include "tbharness.h"
#include "transferfixture.h"

#include <QSet>

namespace {

const QString kTop = "tank/src";
const QString kReplica = "backup/src";
const QString kKeepSource = "5,1h24h";
const QString kKeepTarget = "10,1d30d,1m1y";
constexpr int kMission = 5;

// The series' past: unmarked (made before snapshots were marked) up to
// 2024-02, marked after.
const char *const kUnmarked[] = {"20230215120000", "20230410120000", "20230420120000", "20230731230000",
                                 "20231201000000", "20240131120000", "20240201080000", "20240210080000"};
const char *const kMarked[] = {"20240210200000", "20240220080000", "20240301090000", "20240302090000",
                               "20240303093000", "20240303111000", "20240303114000", "20240303230000",
                               "20240304080000", "20240304083000", "20240304091500"};

class Retention : public TransferE2e
{
protected:
    void TearDown() override
    {
        // The replica's hold of another tool would stop the clean-up.
        if (tb::inTestbed())
            tb::remoteZfs({"release", "-r", "othertool", kReplica + "@ZFSREP_20231201000000"});
        TransferE2e::TearDown();
    }

    QString mark() const { return OwnSnapshots::mark(engine->settings().instance, kMission); }

    void snapshot(const QString &name, const QString &owner = QString())
    {
        QStringList args{"snapshot", "-r"};
        if (!owner.isEmpty())
            args << "-o" << "zfsrep:mission=" + owner;
        ASSERT_TRUE(tb::localZfs(args << kTop + "@" + name).ok()) << name.toStdString();
    }

    // What `rule` keeps of the own snapshots among `names`, plus every
    // name that is not the mission's own (`foreign`) or is held (`held`).
    static QStringList expected(const QStringList &names, const QString &rule, const QSet<QString> &foreign,
                                const QSet<QString> &held)
    {
        RetentionRule parsed;
        QString error;
        EXPECT_TRUE(RetentionRule::parse(rule, parsed, error));
        QList<StampedSnapshot> own;
        for (const QString &name : names) {
            StampedSnapshot stamped;
            if (!foreign.contains(name) && OwnSnapshots::stampOf(name, "ZFSREP", stamped))
                own.append(stamped);
        }
        const QSet<QString> kept = parsed.keep(own);
        QStringList result;
        for (const QString &name : names) {
            if (foreign.contains(name) || held.contains(name) || kept.contains(name))
                result.append(name);
        }
        return result;
    }
};

TEST_F(Retention, EachSideKeepsWhatItsRuleNamesAndTheChainNeverBreaks)
{
    makeLocalDataset("src", 701);
    ASSERT_TRUE(tb::localZfs({"create", kTop + "/c"}).ok());
    tb::writeRandomFile(tb::localPath(kTop + "/c") + "/data.bin", 100000, 702);
    for (const char *stamp : kUnmarked)
        snapshot(QStringLiteral("ZFSREP_") + stamp);
    for (const char *stamp : kMarked)
        snapshot(QStringLiteral("ZFSREP_") + stamp, mark());
    // Not the mission's own: an admin's snapshot and another mission's of
    // the same series name; held by another tool: an old own one.
    const QString admin = "hourly_2024-03-03", other = "ZFSREP_20240215120000";
    snapshot(admin);
    snapshot(other, engine->settings().instance + ":99");
    ASSERT_TRUE(tb::localZfs({"hold", "-r", "othertool", kTop + "@ZFSREP_20230420120000"}).ok());
    const QSet<QString> foreign{admin, other};

    // Replicated first without rules: everything reaches the replica.
    setNow(QDateTime(kDay, QTime(10, 0)));
    TQ2Journals first;
    ASSERT_TRUE(drive->sendPool(first, mission(1, {{"msnno", kMission}}))) << journalText(first).toStdString();
    ASSERT_EQ(remoteSnapshotNames(kReplica), localSnapshotNames(kTop));
    const QString held = "ZFSREP_20231201000000";
    ASSERT_TRUE(tb::remoteZfs({"hold", "othertool", kReplica + "@" + held}).ok());

    const QJsonObject ruled = mission(1, {{"msnno", kMission}, {"keepsource", kKeepSource}, {"keeptarget", kKeepTarget}});
    QString previous = "ZFSREP_20240304100000";
    for (const QDateTime &at : {QDateTime(kDay, QTime(10, 20)), QDateTime(kDay.addDays(1), QTime(10, 20)),
                                QDateTime(kDay.addDays(40), QTime(9, 5))}) {
        SCOPED_TRACE(at.toString(Qt::ISODate).toStdString());
        tb::writeRandomFile(tb::localPath(kTop) + "/more.bin", 50000, quint32(at.toSecsSinceEpoch()));
        const QStringList sourceBefore = localSnapshotNames(kTop);
        const QStringList targetBefore = remoteSnapshotNames(kReplica);
        setNow(at);
        TQ2Journals sent;
        ASSERT_TRUE(drive->sendPool(sent, ruled)) << journalText(sent).toStdString();
        const QString created = "ZFSREP_" + at.toString("yyyyMMddHHmmss");
        EXPECT_EQ(drive->lastReplication().kind, "incremental");
        EXPECT_EQ(drive->lastReplication().base, previous);
        EXPECT_EQ(drive->lastReplication().target, created);
        previous = created;

        const QStringList sourceNow = expected(sourceBefore + QStringList{created}, kKeepSource, foreign,
                                               {"ZFSREP_20230420120000"});
        const QStringList targetNow = expected(targetBefore + QStringList{created}, kKeepTarget, foreign, {held});
        EXPECT_EQ(localSnapshotNames(kTop), sourceNow);
        EXPECT_EQ(localSnapshotNames(kTop + "/c"), sourceNow);
        EXPECT_EQ(remoteSnapshotNames(kReplica), targetNow);
        EXPECT_EQ(remoteSnapshotNames(kReplica + "/c"), targetNow);
        const RunRecord record = drive->lastRun()->record();
        EXPECT_EQ(record.prunedSource, 2 * (sourceBefore.size() + 1 - sourceNow.size()));
        EXPECT_EQ(record.prunedTarget, 2 * (targetBefore.size() + 1 - targetNow.size()));
        EXPECT_EQ(localDigest(kTop + "@" + created), remoteDigest(kReplica + "@" + created));
    }
    // Named by hand, after the last run (2024-04-13 09:05): the source keeps
    // its newest 5 and no hourly history from a month ago; the replica keeps
    // the oldest snapshot of each month from May 2023 on (July 2023, the
    // first of February 2024), not a second one of the same month, nothing
    // of April 2023 or before.
    const QStringList source = localSnapshotNames(kTop);
    const QStringList replica = remoteSnapshotNames(kReplica);
    EXPECT_FALSE(source.contains("ZFSREP_20240303111000"));
    EXPECT_TRUE(source.contains("ZFSREP_20230420120000")) << "held by another tool";
    EXPECT_TRUE(source.contains(admin) && source.contains(other) && replica.contains(admin) && replica.contains(other));
    EXPECT_TRUE(replica.contains("ZFSREP_20230731230000"));
    EXPECT_TRUE(replica.contains("ZFSREP_20240201080000"));
    EXPECT_FALSE(replica.contains("ZFSREP_20240210080000"));
    EXPECT_FALSE(replica.contains("ZFSREP_20230410120000")) << "a month that began more than a year before";
    EXPECT_FALSE(replica.contains("ZFSREP_20230215120000"));
    EXPECT_TRUE(replica.contains(held)) << "held by another tool";
    EXPECT_EQ(localProperty(kTop + "@" + previous, "zfsrep:mission"), mark());
    EXPECT_EQ(remoteProperty(kReplica + "@" + previous, "zfsrep:mission"), mark());
}

TEST_F(Retention, CarrySeriesSendsTheMissionsOwnSnapshotsOnly)
{
    makeLocalDataset("src", 711);
    ASSERT_TRUE(tb::localZfs({"create", kTop + "/c"}).ok());
    const QJsonObject carrying = mission(1, {{"msnno", kMission}, {"carry", "series"}});
    setNow(QDateTime(kDay, QTime(10, 0)));
    TQ2Journals first;
    ASSERT_TRUE(drive->sendPool(first, carrying)) << journalText(first).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "full");

    // Between two runs: an admin's snapshot, another mission's of the same
    // series name, and an own snapshot the mission made without sending it.
    tb::writeRandomFile(tb::localPath(kTop) + "/more.bin", 60000, 712);
    snapshot("hourly_1005");
    snapshot("ZFSREP_20240304101000", engine->settings().instance + ":99");
    tb::writeRandomFile(tb::localPath(kTop + "/c") + "/more.bin", 60000, 713);
    snapshot("ZFSREP_20240304101500", mark());
    setNow(QDateTime(kDay, QTime(10, 20)));
    TQ2Journals sent;
    ASSERT_TRUE(drive->sendPool(sent, carrying)) << journalText(sent).toStdString();
    EXPECT_EQ(drive->lastReplication().kind, "incremental");
    EXPECT_EQ(drive->lastReplication().base, "ZFSREP_20240304100000");
    EXPECT_EQ(drive->lastReplication().target, "ZFSREP_20240304102000");
    EXPECT_GT(drive->lastReplication().bytes, 60000);
    const QStringList own{"ZFSREP_20240304100000", "ZFSREP_20240304101500", "ZFSREP_20240304102000"};
    EXPECT_EQ(remoteSnapshotNames(kReplica), own);
    EXPECT_EQ(remoteSnapshotNames(kReplica + "/c"), own);
    EXPECT_EQ(localDigest(kTop + "/c@ZFSREP_20240304101500"), remoteDigest(kReplica + "/c@ZFSREP_20240304101500"));
    EXPECT_EQ(localDigest(kTop + "@ZFSREP_20240304102000"), remoteDigest(kReplica + "@ZFSREP_20240304102000"));
}

} // namespace
