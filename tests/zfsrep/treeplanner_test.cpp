// The tree planner on tables of listings: what the next step of replicating
// a tree is, whichever dataset a cut left behind.
#include "treeplanner.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// "a:1 b:2" → snapshots with those names and guids; guids differ between
// datasets of a tree because each dataset's snapshot has its own.
DatasetListing listing(const QString &text, const QString &token = QString())
{
    DatasetListing result;
    result.exists = true;
    result.resumeToken = token;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        result.snapshots.append(SnapshotInfo{parts.at(0), parts.at(1).toULongLong(), 0});
    }
    return result;
}

TreeListing tree(const QList<QPair<QString, DatasetListing>> &datasets)
{
    TreeListing result;
    for (const auto &entry : datasets)
        result.datasets.insert(entry.first, entry.second);
    return result;
}

// The source: top with a, b, c; child "c1" with the same names (guids 1x);
// grandchild "c1/g" (guids 2x); "young" created after b (only c).
const TreeListing kSource = tree({{"", listing("a:1 b:2 c:3")},
                                  {"c1", listing("a:11 b:12 c:13")},
                                  {"c1/g", listing("a:21 b:22 c:23")},
                                  {"young", listing("c:33")}});

struct Case {
    const char *name;
    TreeListing target;
    TreeStep::Action action;
    QString relative;
    bool recursive;
    ReplicationPlan::Action plan;
    QString base;
    QString snapshot; // plan.target
};

class TreePlannerTable : public ::testing::TestWithParam<Case>
{
};

TEST_P(TreePlannerTable, NextStep)
{
    const Case &c = GetParam();
    const TreeStep step = TreePlanner::next(kSource, c.target);
    EXPECT_EQ(step.action, c.action) << step.reason.toStdString();
    EXPECT_EQ(step.relative, c.relative) << step.reason.toStdString();
    if (c.action == TreeStep::Stream) {
        EXPECT_EQ(step.recursive, c.recursive);
        EXPECT_EQ(step.plan.action, c.plan);
        EXPECT_EQ(step.plan.base, c.base);
        EXPECT_EQ(step.plan.target, c.snapshot);
    }
    if (c.action == TreeStep::Done) {
        EXPECT_EQ(step.plan.target, c.snapshot);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TreePlannerTable,
    ::testing::Values(
        Case{"EmptyTargetGetsTheWholeTree", TreeListing(), TreeStep::Stream, "", true, ReplicationPlan::Full, "", "c"},
        Case{"ACutInTheGrandchildIsResumedFirst",
             tree({{"", listing("a:1 b:2 c:3")}, {"c1", listing("a:11 b:12 c:13")}, {"c1/g", listing("a:21", "1-tok")}}),
             TreeStep::Stream, "c1/g", false, ReplicationPlan::Resume, "", ""},
        Case{"TopCompleteButAChildMissingGetsItsOldestThenTheRest",
             tree({{"", listing("a:1 b:2 c:3")}, {"young", listing("c:33")}}), TreeStep::Stream, "c1", false,
             ReplicationPlan::Full, "", "a"},
        Case{"AChildLeftBehindIsBroughtToTheBase",
             tree({{"", listing("a:1 b:2 c:3")},
                   {"c1", listing("a:11 b:12 c:13")},
                   {"c1/g", listing("a:21")},
                   {"young", listing("c:33")}}),
             TreeStep::Stream, "c1/g", false, ReplicationPlan::Incremental, "a", "c"},
        Case{"ChildrenReachTheTopsBaseBeforeTheTreeMovesOn",
             tree({{"", listing("a:1 b:2")}, {"c1", listing("a:11")}, {"c1/g", listing("a:21 b:22")}}),
             TreeStep::Stream, "c1", false, ReplicationPlan::Incremental, "a", "b"},
        Case{"AYoungerDatasetWaitsForTheTreesIncremental",
             tree({{"", listing("a:1 b:2")}, {"c1", listing("a:11 b:12")}, {"c1/g", listing("a:21 b:22")}}),
             TreeStep::Stream, "", true, ReplicationPlan::Incremental, "b", "c"},
        Case{"EveryDatasetHoldingTheNewestIsDone",
             tree({{"", listing("a:1 b:2 c:3")},
                   {"c1", listing("a:11 b:12 c:13")},
                   {"c1/g", listing("a:21 b:22 c:23")},
                   {"young", listing("c:33")}}),
             TreeStep::Done, "", false, ReplicationPlan::Nothing, "", "c"},
        Case{"ADivergedChildIsRefusedByName",
             tree({{"", listing("a:1 b:2 c:3")}, {"c1", listing("a:11 x:99")}}), TreeStep::Refuse, "c1", false,
             ReplicationPlan::Refuse, "", ""},
        Case{"ADivergedTopIsRefused", tree({{"", listing("a:1 manual:9")}}), TreeStep::Refuse, "", false,
             ReplicationPlan::Refuse, "", ""}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(TreePlanner, HoldsMatchesByGuidAtTheSamePlace)
{
    const TreeListing target = tree({{"", listing("a:1 c:3")}, {"c1", listing("c:3")}});
    EXPECT_TRUE(TreePlanner::holds(kSource, target, "c"));
    EXPECT_FALSE(TreePlanner::holds(kSource, tree({{"c1", listing("c:3")}}), "c"))
        << "the top's guid on a child is not the child's snapshot";
    EXPECT_FALSE(TreePlanner::holds(kSource, target, "b"));
    EXPECT_FALSE(TreePlanner::holds(kSource, TreeListing(), "a"));
}

TEST(TreePlanner, UpToCutsEveryDatasetAtTheName)
{
    const TreeListing cut = TreePlanner::upTo(kSource, "b");
    EXPECT_EQ(cut.datasets.value("").snapshots.size(), 2);
    EXPECT_EQ(cut.datasets.value("c1/g").snapshots.last().name, "b");
    EXPECT_TRUE(cut.datasets.value("young").snapshots.isEmpty()) << "a dataset without the name keeps none";
}

} // namespace

// A dataset that exists without any snapshot.
DatasetListing emptyListing()
{
    DatasetListing listing;
    listing.exists = true;
    return listing;
}

DatasetListing writtenTo(DatasetListing listing, qint64 bytes)
{
    listing.written = bytes;
    return listing;
}

// A tree of three children where the target has every dataset at b and the
// source moved on to c; `changed` replaces datasets of the target.
TreeStep afterChange(const QList<QPair<QString, DatasetListing>> &changedTarget,
                     const QList<QPair<QString, DatasetListing>> &changedSource = {})
{
    TreeListing source = tree({{"", listing("a:1 b:2 c:3")},
                               {"a", listing("a:11 b:12 c:13")},
                               {"c", listing("a:21 b:22 c:23")},
                               {"d", listing("a:31 b:32 c:33")}});
    TreeListing target = tree({{"", listing("a:1 b:2")},
                               {"a", listing("a:11 b:12")},
                               {"c", listing("a:21 b:22")},
                               {"d", listing("a:31 b:32")}});
    for (const auto &entry : changedSource)
        source.datasets.insert(entry.first, entry.second);
    for (const auto &entry : changedTarget)
        target.datasets.insert(entry.first, entry.second);
    return TreePlanner::next(source, target);
}

TEST(TreePlannerMisfits, ChildrenThatNoLongerFitAreRefusedBeforeAnyStream)
{
    struct Row {
        const char *name;
        QList<QPair<QString, DatasetListing>> target;
        QList<QPair<QString, DatasetListing>> source;
        QStringList named; // each must appear in the reason
    };
    const QList<Row> rows{
        {"ChildRecreatedOnTheSource", {}, {{"c", listing("c:43")}}, {"c: ", "none in common"}},
        {"SameNameOtherGuid", {{"c", listing("a:21 b:22 x:98")}}, {{"c", listing("a:21 b:22 x:97 c:23")}},
         {"c: ", "x exists on both sides with different guids"}},
        {"SnapshotTakenOnOneReplicaChild", {{"d", listing("a:31 b:32 manual:77")}}, {}, {"d: ", "manual"}},
        {"EveryMisfitIsNamed", {{"d", listing("a:31 b:32 manual:77")}}, {{"c", listing("c:43")}},
         {"c: ", "d: ", "manual"}},
        {"DataWrittenOnAReplicaChildAfterItsBase", {{"d", writtenTo(listing("a:31 b:32"), 4096)}}, {},
         {"d: ", "changed after its newest snapshot b", "4096 bytes"}},
        {"AnEmptyChildOnTheTargetIsNotOverwritten", {{"c", emptyListing()}}, {},
         {"c: ", "no snapshots"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const TreeStep step = afterChange(row.target, row.source);
        EXPECT_EQ(step.action, TreeStep::Refuse) << step.reason.toStdString();
        for (const QString &part : row.named)
            EXPECT_TRUE(step.reason.contains(part)) << step.reason.toStdString() << " lacks " << part.toStdString();
    }
}

TEST(TreePlannerMisfits, WhatDoesNotConcernTheTargetIsNoMisfit)
{
    // A child gone from the source, a child with no snapshot yet, and a
    // pending receive are no reason to refuse the tree.
    const TreeStep goneAtSource = afterChange({{"old", listing("a:91")}});
    EXPECT_EQ(goneAtSource.action, TreeStep::Stream) << goneAtSource.reason.toStdString();
    const TreeStep emptyAtSource = afterChange({{"e", listing("a:51")}}, {{"e", emptyListing()}});
    EXPECT_EQ(emptyAtSource.action, TreeStep::Stream) << emptyAtSource.reason.toStdString();
    const TreeStep resumed = afterChange({{"c", listing("a:21", "1-tok")}});
    EXPECT_EQ(resumed.action, TreeStep::Stream);
    EXPECT_EQ(resumed.plan.action, ReplicationPlan::Resume);
    EXPECT_EQ(resumed.relative, "c");
}

TEST(TreePlannerLagging, ChildrenWithoutTheNewestSnapshotAreNamedInTheTreeStream)
{
    // A snapshot taken on the top alone, and a child made after the last
    // recursive snapshot: the tree's stream is planned, naming both.
    const TreeListing source = tree({{"", listing("a:1 b:2")}, {"kid", listing("a:11")}, {"new", emptyListing()}});
    const TreeStep incremental = TreePlanner::next(source, tree({{"", listing("a:1")}, {"kid", listing("a:11")}}));
    ASSERT_EQ(incremental.action, TreeStep::Stream) << incremental.reason.toStdString();
    EXPECT_TRUE(incremental.recursive);
    EXPECT_EQ(incremental.plan.target, "b");
    EXPECT_EQ(incremental.lacking, (QStringList{"kid", "new"}));

    const TreeStep full = TreePlanner::next(source, TreeListing());
    ASSERT_EQ(full.action, TreeStep::Stream);
    EXPECT_EQ(full.plan.action, ReplicationPlan::Full);
    EXPECT_EQ(full.lacking, (QStringList{"kid", "new"}));

    // After it: the top holds b, the others have nothing newer to get.
    const TreeStep done = TreePlanner::next(source, tree({{"", listing("a:1 b:2")}, {"kid", listing("a:11")}}));
    EXPECT_EQ(done.action, TreeStep::Done) << done.reason.toStdString();

    const TreeStep whole = afterChange({});
    EXPECT_TRUE(whole.lacking.isEmpty()) << "every dataset has the snapshot";

    // Data written to a dataset that is up to date concerns no stream.
    const TreeStep upToDate = TreePlanner::next(source, tree({{"", writtenTo(listing("a:1 b:2"), 10)}, {"kid", listing("a:11")}}));
    EXPECT_EQ(upToDate.action, TreeStep::Done) << upToDate.reason.toStdString();
}
