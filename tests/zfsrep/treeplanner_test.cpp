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
    if (c.action == TreeStep::Done)
        EXPECT_EQ(step.plan.target, c.snapshot);
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
