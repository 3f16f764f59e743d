// Bookmarks of the incremental base, the pure parts: their names and
// argument lists, the reading of a tree's bookmark listing, and the
// planners' use of a bookmark when the base snapshot is gone.
#include "bookmarkcommands.h"
#include "bookmarkoutput.h"
#include "fixtures.h"
#include "treeplanner.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

namespace {

// "a:1 b:2" -> marks with those names and guids, txg rising from `txg`.
QList<SnapshotInfo> marks(const QString &text, quint64 txg = 100)
{
    QList<SnapshotInfo> list;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        list.append(SnapshotInfo{parts.at(0), parts.at(1).toULongLong(), parts.size() > 2 ? parts.at(2).toULongLong() : txg++});
    }
    return list;
}

DatasetListing listing(const QString &snapshots, const QString &bookmarks = QString())
{
    DatasetListing result;
    result.exists = true;
    result.written = 0;
    result.snapshots = marks(snapshots);
    result.bookmarks = marks(bookmarks, 50); // made of snapshots older than any listed
    return result;
}

} // namespace

TEST(BookmarkNames, NameHoldsTheMissionAndTheSnapshotsStamp)
{
    const struct {
        int msnno;
        const char *snapshot;
        const char *name;
    } rows[] = {
        {7, "daily_20261209111500", "zfsrep_7_20261209111500"},
        {7, "daily_20261209111500_2", "zfsrep_7_20261209111500_2"},
        {12, "ZFSREP_20240101000000", "zfsrep_12_20240101000000"},
        {3, "manual", "zfsrep_3_manual"},          // no stamp: the whole name
        {3, "short_2026", "zfsrep_3_short_2026"}, // too few digits for a stamp
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.snapshot);
        EXPECT_EQ(BookmarkCommands::nameFor(row.msnno, row.snapshot), row.name);
    }
    EXPECT_TRUE(BookmarkCommands::isMissions(7, "zfsrep_7_20261209111500"));
    EXPECT_FALSE(BookmarkCommands::isMissions(7, "zfsrep_77_20261209111500")) << "mission 77 is not mission 7";
    EXPECT_FALSE(BookmarkCommands::isMissions(1, "zfsrep_12_20261209111500"));
    EXPECT_FALSE(BookmarkCommands::isMissions(7, "zfsrep_7_")) << "the prefix alone names no snapshot";
    EXPECT_FALSE(BookmarkCommands::isMissions(7, "other-tool"));
}

TEST(BookmarkCommands, ArgumentLists)
{
    EXPECT_EQ(BookmarkCommands::createArgs("tank/data@daily_20261209111500", "tank/data#zfsrep_7_20261209111500"),
              (QStringList{"bookmark", "tank/data@daily_20261209111500", "tank/data#zfsrep_7_20261209111500"}));
    EXPECT_EQ(BookmarkCommands::destroyArgs("tank/my data#zfsrep_7_x"),
              (QStringList{"destroy", "tank/my data#zfsrep_7_x"}));
    EXPECT_EQ(BookmarkCommands::treeListArgs("tank/data"),
              (QStringList{"list", "-H", "-p", "-o", "name,guid,createtxg", "-t", "bookmark", "-s", "createtxg", "-r",
                           "tank/data"}));
    EXPECT_EQ(BookmarkCommands::treeListArgs("tank/data", true).at(6), "bookmark,snapshot");
    // A stream from a bookmark is one stream of one dataset: -i, never -I or -R.
    ZfsCommands::SendSpec spec;
    spec.raw = true;
    spec.recursive = false;
    spec.base = "tank/data#zfsrep_7_20261208010000";
    spec.snapshot = "tank/data@daily_20261209010000";
    EXPECT_EQ(ZfsCommands::sendArgs(spec), (QStringList{"send", "-w", "-i", "tank/data#zfsrep_7_20261208010000",
                                                         "tank/data@daily_20261209010000"}));
    EXPECT_EQ(ZfsCommands::sendSizeArgs(spec).mid(0, 4), (QStringList{"send", "-nvP", "-w", "-i"}));
}

TEST(BookmarkOutput, ReadsATreesBookmarksAndSnapshotsFromTheRecordedListing)
{
    const QMap<QString, DatasetListing> tree =
        BookmarkOutput::tree(fixture("zfs/zfs-list-bookmark-snapshot-Hp.stdout"), "tank/data");
    ASSERT_EQ(tree.keys(), (QStringList{"", "my child"})) << "tank/database is outside the tree";
    const DatasetListing top = tree.value("");
    ASSERT_EQ(top.bookmarks.size(), 2) << "the broken and the truncated lines are skipped";
    EXPECT_EQ(top.bookmarks.at(0).name, "zfsrep_7_20261208010000");
    EXPECT_EQ(top.bookmarks.at(0).guid, 1380663100741485302ULL);
    EXPECT_EQ(top.bookmarks.at(0).createtxg, 120ULL);
    EXPECT_EQ(top.bookmarks.at(1).name, "other-tool");
    ASSERT_EQ(top.snapshots.size(), 2);
    EXPECT_EQ(top.snapshots.at(1).name, "daily_20261209010000");
    const DatasetListing child = tree.value("my child");
    EXPECT_EQ(child.bookmarks.size(), 1);
    ASSERT_EQ(child.snapshots.size(), 2);
    EXPECT_EQ(child.snapshots.at(1).guid, 18446744073709551615ULL) << "the largest guid";
    EXPECT_TRUE(BookmarkOutput::tree(QByteArray(), "tank/data").isEmpty());
}

TEST(BookmarkPlanner, DecisionTable)
{
    struct Row {
        const char *name;
        DatasetListing source;
        DatasetListing target;
        ReplicationPlan::Action action;
        bool fromBookmark;
        const char *base;
        const char *reasonHas;
    };
    DatasetListing written = listing("a:1 b:2");
    written.written = 4096;
    const Row rows[] = {
        {"base gone, its bookmark has the target's newest guid", listing("c:3", "zfsrep_7_b:2"), listing("a:1 b:2"),
         ReplicationPlan::Incremental, true, "zfsrep_7_b", "bookmark #zfsrep_7_b to c"},
        {"the bookmark of an older target snapshot does not fit", listing("c:3", "zfsrep_7_a:1"), listing("a:1 b:2"),
         ReplicationPlan::Refuse, false, "", "b, is gone from the source and no bookmark holds it"},
        {"bookmark guid mismatch is ignored", listing("c:3", "zfsrep_7_b:99"), listing("a:1 b:2"),
         ReplicationPlan::Refuse, false, "", "none in common"},
        {"no bookmark: refused, saying why", listing("c:3"), listing("a:1 b:2"), ReplicationPlan::Refuse, false, "",
         "its newest, b, is gone from the source and no bookmark holds it"},
        {"an older snapshot still shared, the base gone: its bookmark", listing("a:1 c:3", "zfsrep_7_b:2"),
         listing("a:1 b:2"), ReplicationPlan::Incremental, true, "zfsrep_7_b", "the base snapshot b is gone"},
        {"an older snapshot still shared, no bookmark: refused, saying why", listing("a:1 c:3"), listing("a:1 b:2"),
         ReplicationPlan::Refuse, false, "",
         "newer than the common snapshot a: b; its newest, b, is gone from the source and no bookmark holds it"},
        {"a snapshot in common wins over a bookmark", listing("b:2 c:3", "zfsrep_7_b:2"), listing("a:1 b:2"),
         ReplicationPlan::Incremental, false, "b", "from b to c"},
        {"any tool's bookmark of the base serves", listing("c:3", "other:2"), listing("a:1 b:2"),
         ReplicationPlan::Incremental, true, "other", "#other"},
        {"a target changed after its base is refused", listing("c:3", "zfsrep_7_b:2"), written,
         ReplicationPlan::Refuse, false, "", "4096 bytes written"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const ReplicationPlan plan = ReplicationPlanner::plan(row.source, row.target);
        EXPECT_EQ(plan.action, row.action) << plan.reason.toStdString();
        EXPECT_EQ(plan.fromBookmark, row.fromBookmark);
        if (row.action == ReplicationPlan::Incremental) {
            EXPECT_EQ(plan.base, row.base);
            EXPECT_EQ(plan.target, "c");
        }
        EXPECT_TRUE(plan.reason.contains(row.reasonHas)) << plan.reason.toStdString();
    }
}

namespace {

TreeListing tree(const QList<QPair<QString, DatasetListing>> &datasets)
{
    TreeListing result;
    for (const auto &entry : datasets)
        result.datasets.insert(entry.first, entry.second);
    return result;
}

} // namespace

// A tree whose base b was destroyed on every dataset after the mission
// bookmarked it: each dataset goes on from its bookmark by a stream of its
// own, parents first, then the tree is done.
TEST(BookmarkPlanner, ATreeContinuesDatasetByDatasetFromItsBookmarks)
{
    const TreeListing source = tree({{"", listing("c:3", "zfsrep_7_b:2")},
                                     {"kid", listing("c:13", "zfsrep_7_b:12")},
                                     {"kid/g", listing("c:23", "zfsrep_7_b:22")}});
    TreeListing target = tree({{"", listing("a:1 b:2")}, {"kid", listing("a:11 b:12")}, {"kid/g", listing("a:21 b:22")}});
    EXPECT_TRUE(TreePlanner::wantsBookmarks(source, target));
    EXPECT_TRUE(TreePlanner::conflicts(source, target).isEmpty());
    const QStringList order{"", "kid", "kid/g"};
    for (const QString &relative : order) {
        SCOPED_TRACE(relative.toStdString());
        const TreeStep step = TreePlanner::next(source, target);
        ASSERT_EQ(step.action, TreeStep::Stream) << step.reason.toStdString();
        EXPECT_EQ(step.relative, relative);
        EXPECT_FALSE(step.recursive) << "no tree stream starts from a bookmark";
        EXPECT_TRUE(step.plan.fromBookmark);
        EXPECT_EQ(step.plan.base, "zfsrep_7_b");
        EXPECT_EQ(step.plan.target, "c");
        // What the stream leaves on the target.
        target.datasets[relative].snapshots.append(source.datasets.value(relative).snapshots.last());
    }
    const TreeStep done = TreePlanner::next(source, target);
    EXPECT_EQ(done.action, TreeStep::Done) << done.reason.toStdString();
    EXPECT_EQ(done.plan.target, "c");
    EXPECT_FALSE(TreePlanner::wantsBookmarks(source, target));
}

// Only the top lost its base: it goes on from its bookmark, then the child
// from its own snapshot; a child that lost it without a bookmark is refused
// by name before anything is sent.
TEST(BookmarkPlanner, MixedTreesAndRefusals)
{
    const TreeListing target = tree({{"", listing("a:1 b:2")}, {"kid", listing("a:11 b:12")}});
    const TreeListing topOnly = tree({{"", listing("c:3", "zfsrep_7_b:2")}, {"kid", listing("b:12 c:13")}});
    TreeStep step = TreePlanner::next(topOnly, target);
    ASSERT_EQ(step.action, TreeStep::Stream) << step.reason.toStdString();
    EXPECT_EQ(step.relative, "");
    EXPECT_TRUE(step.plan.fromBookmark);
    TreeListing after = target;
    after.datasets[""].snapshots.append(SnapshotInfo{"c", 3, 0});
    step = TreePlanner::next(topOnly, after);
    ASSERT_EQ(step.action, TreeStep::Stream) << step.reason.toStdString();
    EXPECT_EQ(step.relative, "kid");
    EXPECT_FALSE(step.plan.fromBookmark);
    EXPECT_EQ(step.plan.base, "b");

    const TreeListing kidLost = tree({{"", listing("c:3", "zfsrep_7_b:2")}, {"kid", listing("c:13")}});
    step = TreePlanner::next(kidLost, target);
    EXPECT_EQ(step.action, TreeStep::Refuse);
    EXPECT_TRUE(step.reason.startsWith("kid: ")) << step.reason.toStdString();
    EXPECT_TRUE(step.reason.contains("no bookmark holds it")) << step.reason.toStdString();

    // Bookmarks are not worth listing while the target's newest is on the
    // source, or for a dataset the target does not have yet.
    EXPECT_FALSE(TreePlanner::wantsBookmarks(tree({{"", listing("b:2 c:3")}}), target));
    EXPECT_FALSE(TreePlanner::wantsBookmarks(tree({{"", listing("c:3")}}), TreeListing()));
    EXPECT_TRUE(TreePlanner::wantsBookmarks(tree({{"", listing("c:3")}}), target));
    EXPECT_TRUE(TreePlanner::wantsBookmarks(tree({{"", listing("a:1 c:3")}}), target)) << "the newest b is gone";
}
