// Pruning by retention rules: the prune planner on tables of listings (the
// base on either side, snapshots not yet on the target, other missions' and
// other tools' snapshots, children that lag), the command builders, and the
// pruner against a scripted runner (exact argument lists, holds, one remote
// command per tree, counts from the listings afterwards).
#include "fakerunner.h"
#include "pruneplanner.h"
#include "replicationside.h"
#include "retentioncommands.h"
#include "retentionkeys.h"
#include "retentionstep.h"
#include "run.h"
#include "runservices.h"
#include "eventrecorder.h"
#include "snapshotpruner.h"
#include "tq2journals.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

const QString kMark = QStringLiteral("0123456789abcdef0123456789abcdef:5");

// "name:guid[:owner]" pieces, oldest first; owner "M" is kMark, absent "-".
QList<OwnedSnapshot> snaps(const QString &text)
{
    QList<OwnedSnapshot> list;
    quint64 txg = 10;
    for (const QString &piece : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(QLatin1Char(':'));
        OwnedSnapshot s;
        s.info.name = parts.at(0);
        s.info.guid = parts.at(1).toULongLong();
        s.info.createtxg = txg++;
        s.owner = parts.size() > 2 ? (parts.at(2) == QLatin1String("M") ? kMark : parts.mid(2).join(':'))
                                   : QStringLiteral("-");
        list.append(s);
    }
    return list;
}

PruneRequest request(const char *source, const char *target)
{
    PruneRequest r;
    r.series = QStringLiteral("d");
    r.mark = kMark;
    QString error;
    EXPECT_TRUE(RetentionRule::parse(QString::fromLatin1(source), r.sourceRule, error));
    EXPECT_TRUE(RetentionRule::parse(QString::fromLatin1(target), r.targetRule, error));
    return r;
}

struct PlanCase {
    const char *label;
    const char *sourceRule, *targetRule;
    const char *source, *target;             // the top dataset
    const char *sourceChild, *targetChild;   // "child", "" when absent
    const char *prunedSource, *prunedTarget; // "name name" of the top
    const char *prunedSourceChild, *prunedTargetChild;
};

const PlanCase kPlans[] = {
    {"CountOnBothSides", "1", "2",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M", "", "",
     "d_20250101000000 d_20250102000000", "d_20250101000000", "", ""},
    {"SourceSnapshotsNotYetOnTheTargetStay", "1", "",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M d_20250104000000:4:M",
     "d_20250101000000:1:M d_20250102000000:2:M", "", "", "d_20250101000000", "", "", ""},
    {"TheBaseStaysWhateverTheRuleSays", "0", "0",
     "d_20250101000000:1:M d_20250102000000:2:M", "d_20250101000000:1:M d_20250102000000:2:M", "", "",
     "d_20250101000000", "d_20250101000000", "", ""},
    {"OtherMissionsToolsAndUnmarkedOtherNamesStay", "0", "0",
     "d_20250101000000:1:abc:9 hourly_1:2 d_20250102000000:3 d_20250103000000:4:xyz:5 mine:5:M d_20250104000000:6:M",
     "d_20250101000000:1:abc:9 hourly_1:2 d_20250102000000:3 d_20250103000000:4:xyz:5 mine:5:M d_20250104000000:6:M",
     "", "", "d_20250102000000", "d_20250102000000", "", ""},
    {"NoCommonSnapshotPrunesNothing", "0", "0", "d_20250101000000:1:M d_20250102000000:2:M",
     "d_20250101000000:7:M d_20250102000000:8:M", "", "", "", "", "", ""},
    {"ChildrenLagBehindTheTop", "0", "0",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M",
     "d_20250101000000:11:M d_20250102000000:12:M d_20250103000000:13:M",
     "d_20250101000000:11:M d_20250102000000:12:M",
     "d_20250101000000 d_20250102000000", "d_20250101000000 d_20250102000000", "d_20250101000000",
     "d_20250101000000"},
    {"EmptyRulesPruneNothing", "", "", "d_20250101000000:1:M d_20250102000000:2:M",
     "d_20250101000000:1:M d_20250102000000:2:M", "", "", "", "", "", ""},
    {"TargetNewerThanItsBaseStays", "", "0", "d_20250101000000:1:M d_20250102000000:2:M",
     "d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:9:M", "", "", "", "d_20250101000000", "", ""},
};

QStringList words(const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts); }

class Plans : public ::testing::TestWithParam<PlanCase>
{
};

TEST_P(Plans, ChooseOnlyWhatMayGo)
{
    const PlanCase &c = GetParam();
    OwnerTree source{{QString(), snaps(QString::fromLatin1(c.source))}};
    OwnerTree target{{QString(), snaps(QString::fromLatin1(c.target))}};
    if (*c.sourceChild)
        source.insert(QStringLiteral("child"), snaps(QString::fromLatin1(c.sourceChild)));
    if (*c.targetChild)
        target.insert(QStringLiteral("child"), snaps(QString::fromLatin1(c.targetChild)));
    const PrunePlan plan = PrunePlanner::plan(source, target, request(c.sourceRule, c.targetRule));
    EXPECT_EQ(plan.source.value(QString()), words(c.prunedSource));
    EXPECT_EQ(plan.target.value(QString()), words(c.prunedTarget));
    EXPECT_EQ(plan.source.value(QStringLiteral("child")), words(c.prunedSourceChild));
    EXPECT_EQ(plan.target.value(QStringLiteral("child")), words(c.prunedTargetChild));
}

INSTANTIATE_TEST_SUITE_P(Table, Plans, ::testing::ValuesIn(kPlans),
                         [](const ::testing::TestParamInfo<PlanCase> &info) { return std::string(info.param.label); });

TEST(PrunePlanner, SourceAloneKeepsTheExportedSnapshotAndWhatFollows)
{
    const OwnerTree source{{QString(), snaps("d_20250101000000:1:M d_20250102000000:2:M d_20250103000000:3:M")}};
    PrunePlan plan = PrunePlanner::planSource(source, QStringLiteral("d_20250102000000"), request("0", ""));
    EXPECT_EQ(plan.source.value(QString()), QStringList{QStringLiteral("d_20250101000000")});
    EXPECT_TRUE(plan.target.isEmpty());
    plan = PrunePlanner::planSource(source, QStringLiteral("gone"), request("0", ""));
    EXPECT_TRUE(plan.isEmpty());
}

TEST(RetentionCommands, BuildsTheArgumentLists)
{
    EXPECT_EQ(RetentionCommands::markedSnapshotArgs(QStringLiteral("tank/data@d_1"), kMark).join(' '),
              QStringLiteral("snapshot -r -o zfsrep:mission=") + kMark + QStringLiteral(" tank/data@d_1"));
    EXPECT_EQ(RetentionCommands::markedSnapshotArgs(QStringLiteral("tank/data@d_1"), QString()).join(' '),
              QStringLiteral("snapshot -r tank/data@d_1"));
    EXPECT_EQ(RetentionCommands::ownerTreeListArgs(QStringLiteral("tank/da ta")).join('|'),
              QStringLiteral("list|-H|-p|-o|name,guid,createtxg,zfsrep:mission|-t|snapshot|-s|createtxg|-r|tank/da ta"));
    EXPECT_EQ(RetentionCommands::destroyManyArgs(QStringLiteral("tank/da ta"), {"a b", "c"}).join('|'),
              QStringLiteral("destroy|tank/da ta@a b,c"));
    // Hostile names stay single words of the remote shell.
    EXPECT_EQ(RetentionCommands::sequenceText(ZfsCommands::kZfsFullPath,
                                              {RetentionCommands::destroyManyArgs(QStringLiteral("t/x'; rm -rf /"), {"$(id)"}),
                                               RetentionCommands::destroyManyArgs(QStringLiteral("t/y"), {"b"})}),
              QStringLiteral("s=0; /usr/sbin/zfs destroy 't/x'\\''; rm -rf /@$(id)' || s=1; /usr/sbin/zfs destroy t/y@b || s=1; exit $s"));
}

TEST(RetentionCommands, LongListsAreSplitBelowTheLimit)
{
    QStringList names;
    for (int i = 0; i < 5000; ++i)
        names.append(QStringLiteral("daily_20250101000000_%1").arg(i));
    const QMap<QString, QStringList> going{{QStringLiteral("backup/data"), names},
                                           {QStringLiteral("backup/data/child"), names.mid(0, 10)}};
    const QList<QList<QStringList>> groups = RetentionCommands::destroyGroups(going);
    ASSERT_GT(groups.size(), 1);
    int carried = 0;
    for (const QList<QStringList> &group : groups) {
        const QString text = RetentionCommands::sequenceText(ZfsCommands::kZfsFullPath, group);
        EXPECT_LE(text.toUtf8().size(), 64 * 1024 + 128);
        for (const QStringList &command : group)
            carried += command.last().section(QLatin1Char('@'), 1).split(QLatin1Char(',')).size();
    }
    EXPECT_EQ(carried, 5010);
}

TEST(RetentionKeys, RefusesARuleNamingKeyAndPart)
{
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"keepsource", "10,1h24h"}, {"keeptarget", ""}}), QString());
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"keeptarget", QJsonValue()}}), QString());
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"keeptarget", "10,1x30d"}}),
              QStringLiteral("参数无效: keeptarget: part 2 \"1x30d\": unknown period \"x\" (h, d, w, m or y)"));
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"keepsource", 10}}),
              QStringLiteral("参数无效: keepsource: a rule text such as \"10,1d30d\""));
}

const QString kSsh = "sshpass -e ssh -p 2222 -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts -o ServerAliveInterval=15 "
                     "-o ServerAliveCountMax=4 -o ConnectTimeout=20 zr@127.0.0.1 ";

QByteArray ownerLines(const QString &top, const QString &text)
{
    QByteArray out;
    int txg = 10;
    for (const QString &line : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(QLatin1Char(':'));
        const QString owner = parts.size() > 3 ? kMark : QStringLiteral("-");
        out += (top + parts.at(0) + QLatin1Char('@') + parts.at(1) + '\t' + parts.at(2) + '\t'
                + QString::number(txg++) + '\t' + owner + '\n')
                   .toUtf8();
    }
    return out;
}

class Pruner : public ::testing::Test
{
protected:
    FakeRunner runner;
    TQ2Journals journals;
    const QString localList = QStringLiteral("zfs list -H -p -o name,guid,createtxg,zfsrep:mission -t snapshot -s createtxg -r tank/data");
    const QString remoteList = kSsh + QStringLiteral("/usr/sbin/zfs list -H -p -o name,guid,createtxg,zfsrep:mission -t snapshot -s createtxg -r backup/data");
};

TEST_F(Pruner, DestroysWhatTheRulesLetGoExceptWhatOthersHold)
{
    // ":d_...:guid:M" lines: dataset suffix, name, guid, own mark.
    const QString source = QStringLiteral(":d_20250101000000:1:M :d_20250102000000:2:M :hourly:9 :d_20250104000000:4:M "
                                          "/child:d_20250101000000:11:M /child:d_20250104000000:14:M");
    const QString target = QStringLiteral(":d_20250101000000:1:M :d_20250102000000:2:M :d_20250104000000:4:M "
                                          "/child:d_20250101000000:11:M /child:d_20250104000000:14:M");
    runner.respondOnce(localList, 0, ownerLines("tank/data", source));
    runner.respondOnce(remoteList, 0, ownerLines("backup/data", target));
    runner.respondOnce(QStringLiteral("zfs holds -H tank/data@d_20250101000000 tank/data@d_20250102000000 tank/data/child@d_20250101000000"),
                       0, "tank/data@d_20250102000000\tbackuptool\tWed Mar  5 07:08 2025\n");
    runner.respondOnce(kSsh + QStringLiteral("/usr/sbin/zfs holds -H backup/data@d_20250101000000"), 0,
                       "backup/data@d_20250101000000\tzfsrep-5\tWed Mar  5 07:08 2025\n");
    // Afterwards: what went is gone.
    runner.respondOnce(localList, 0,
                       ownerLines("tank/data", ":d_20250102000000:2:M :hourly:9 :d_20250104000000:4:M /child:d_20250104000000:14:M"));
    runner.respondOnce(remoteList, 0,
                       ownerLines("backup/data", ":d_20250104000000:4:M /child:d_20250104000000:14:M"));

    const ReplicationSide local(runner);
    const ReplicationSide remote(runner, TransferCommands::Endpoint{QStringLiteral("127.0.0.1"), 2222, QStringLiteral("zr"), QString(), false},
                                 QStringLiteral("pw"));
    PruneCounts counts;
    SnapshotPruner(local, QStringLiteral("tank/data"), &remote, QStringLiteral("backup/data"), QStringLiteral("zfsrep-5"))
        .prune(journals, request("1", "1"), QString(), counts);
    EXPECT_EQ(counts.source, 2);
    EXPECT_EQ(counts.target, 3);

    const QStringList lines = runner.runLines();
    const QStringList expected{
        localList,
        remoteList,
        QStringLiteral("zfs holds -H tank/data@d_20250101000000 tank/data@d_20250102000000 tank/data/child@d_20250101000000"),
        QStringLiteral("zfs destroy tank/data@d_20250101000000"),
        QStringLiteral("zfs destroy tank/data/child@d_20250101000000"),
        localList,
        kSsh + QStringLiteral("/usr/sbin/zfs holds -H backup/data@d_20250101000000 backup/data@d_20250102000000 backup/data/child@d_20250101000000"),
        kSsh + QStringLiteral("/usr/sbin/zfs release zfsrep-5 backup/data@d_20250101000000"),
        kSsh + QStringLiteral("s=0; /usr/sbin/zfs destroy backup/data@d_20250101000000,d_20250102000000 || s=1; "
                              "/usr/sbin/zfs destroy backup/data/child@d_20250101000000 || s=1; exit $s"),
        remoteList,
    };
    EXPECT_EQ(lines, expected);
    const QByteArray journal = QJsonDocument(journals.toObject()).toJson();
    EXPECT_TRUE(journal.contains("kept tank/data@d_20250102000000: held by backuptool")) << journal.constData();
    EXPECT_TRUE(journal.contains("pruned 3 snapshot(s) on 127.0.0.1:backup/data")) << journal.constData();
    EXPECT_EQ(journals.err(), TQ2Journals().err()) << "pruning sets no code of the run";
}

TEST_F(Pruner, FailedListingPrunesNothing)
{
    runner.respondOnce(localList, 0, ownerLines("tank/data", ":d_20250101000000:1:M :d_20250102000000:2:M"));
    runner.respondOnce(remoteList, 255, QByteArray(), "ssh: connect to host 127.0.0.1 port 2222: Connection refused\n");
    const ReplicationSide local(runner);
    const ReplicationSide remote(runner, TransferCommands::Endpoint{QStringLiteral("127.0.0.1"), 2222, QStringLiteral("zr"), QString(), false},
                                 QStringLiteral("pw"));
    PruneCounts counts;
    SnapshotPruner(local, QStringLiteral("tank/data"), &remote, QStringLiteral("backup/data"), QStringLiteral("zfsrep-5"))
        .prune(journals, request("0", "0"), QString(), counts);
    EXPECT_EQ(counts.source, 0);
    EXPECT_EQ(runner.runLines(), (QStringList{localList, remoteList}));
}

TEST(RetentionStep, CancelledRunPrunesNothing)
{
    FakeRunner runner;
    Mission mission;
    mission.msnno = 5;
    mission.pool = QStringLiteral("tank");
    mission.name = QStringLiteral("data");
    mission.snapname = QStringLiteral("d");
    mission.keepSource = QStringLiteral("1");
    mission.keepTarget = QStringLiteral("1");
    ::Run run(mission, 0);
    RunSettings settings;
    EventRecorder events;
    const RunServices services{runner, settings, events, [] { return QDateTime::currentDateTime(); }};
    const ReplicationSide local(runner);
    run.cancel(CancelToken::Operator);
    RetentionStep::prune(run, services, local, &local, QStringLiteral("backup/data"));
    EXPECT_TRUE(runner.runLines().isEmpty());
    EXPECT_EQ(run.record().prunedSource, 0);
}

TEST(RetentionStep, UnreadableStoredRuleIsJournaledAndPrunesNothingOnItsSide)
{
    FakeRunner runner;
    Mission mission;
    mission.msnno = 5;
    mission.pool = QStringLiteral("tank");
    mission.name = QStringLiteral("data");
    mission.snapname = QStringLiteral("d");
    mission.keepSource = QStringLiteral("1q");
    ::Run run(mission, 0);
    RunSettings settings;
    EventRecorder events;
    const RunServices services{runner, settings, events, [] { return QDateTime::currentDateTime(); }};
    const ReplicationSide local(runner);
    RetentionStep::prune(run, services, local, nullptr, QString(), QStringLiteral("d_20250101000000"));
    EXPECT_TRUE(runner.runLines().isEmpty());
    EXPECT_TRUE(QJsonDocument(run.journals().toObject()).toJson().contains("keepsource: part 1"));
}

} // namespace
