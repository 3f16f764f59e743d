#include "replicationplanner.h"

#include <gtest/gtest.h>

namespace {

// "a:1 b:2" → snapshots a (guid 1) and b (guid 2), oldest first.
QList<SnapshotInfo> snaps(const char *text)
{
    QList<SnapshotInfo> list;
    quint64 txg = 100;
    for (const QString &piece : QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(QLatin1Char(':'));
        list.append(SnapshotInfo{parts.at(0), parts.at(1).toULongLong(), txg++});
    }
    return list;
}

DatasetListing listing(const char *text, bool exists = true, const char *token = "")
{
    DatasetListing l;
    l.exists = exists;
    l.snapshots = snaps(text);
    l.resumeToken = QString::fromLatin1(token);
    return l;
}

struct PlanCase {
    const char *name;
    DatasetListing source;
    DatasetListing target;
    ReplicationPlan::Action action;
    const char *base;
    const char *target_;
    const char *reasonHas; // a piece the reason must name
};

TEST(ReplicationPlanner, DecisionTable)
{
    const PlanCase cases[] = {
        {"missing target gets a full stream of the newest", listing("a:1 b:2 c:3"), listing("", false),
         ReplicationPlan::Full, "", "c", "full"},
        {"incremental from the newest common to the newest", listing("a:1 b:2 c:3 d:4"), listing("a:1 b:2"),
         ReplicationPlan::Incremental, "b", "d", "from b to d"},
        {"base matched by guid although the names differ", listing("a:1 renamed:2 c:3"), listing("a:1 b:2"),
         ReplicationPlan::Incremental, "renamed", "c", "renamed"},
        {"oldest local snapshot destroyed by hand still finds the base", listing("c:3 d:4 e:5"),
         listing("a:1 b:2 c:3 d:4"), ReplicationPlan::Incremental, "d", "e", "from d to e"},
        {"up to date is nothing to do", listing("a:1 b:2"), listing("a:1 b:2"), ReplicationPlan::Nothing, "b", "b",
         "up to date"},
        {"a pending token resumes before anything else", listing("a:1 b:2"), listing("a:1", true, "1-abc"),
         ReplicationPlan::Resume, "", "", "resum"},
        {"a token on a dataset without snapshots resumes", listing("a:1"), listing("", true, "1-abc"),
         ReplicationPlan::Resume, "", "", "resum"},
        {"target newer than the base is refused", listing("a:1 b:2"), listing("a:1 b:2 x:9"), ReplicationPlan::Refuse,
         "", "", "x"},
        {"same name with other guid is refused", listing("a:1 b:2"), listing("a:1 b:7"), ReplicationPlan::Refuse, "",
         "", "b exists on both sides"},
        {"snapshots but none in common is refused", listing("a:1 b:2"), listing("x:8 y:9"), ReplicationPlan::Refuse,
         "", "", "x, y"},
        {"empty existing target is not overwritten", listing("a:1"), listing("", true), ReplicationPlan::Refuse, "",
         "", "no snapshots"},
        {"empty source is refused", listing(""), listing("", false), ReplicationPlan::Refuse, "", "", "no snapshot"},
        {"target newest equals the source's oldest", listing("a:1 b:2 c:3"), listing("a:1"),
         ReplicationPlan::Incremental, "a", "c", "from a to c"},
    };
    for (const PlanCase &c : cases) {
        SCOPED_TRACE(c.name);
        const ReplicationPlan plan = ReplicationPlanner::plan(c.source, c.target);
        EXPECT_EQ(plan.action, c.action) << plan.reason.toStdString();
        if (c.action == ReplicationPlan::Incremental || c.action == ReplicationPlan::Nothing) {
            EXPECT_EQ(plan.base.toStdString(), c.base);
        }
        if (c.action != ReplicationPlan::Refuse && c.action != ReplicationPlan::Resume) {
            EXPECT_EQ(plan.target.toStdString(), c.target_);
        }
        if (c.action == ReplicationPlan::Resume) {
            EXPECT_EQ(plan.token, c.target.resumeToken);
        }
        EXPECT_TRUE(plan.reason.contains(QLatin1String(c.reasonHas))) << plan.reason.toStdString();
    }
}

} // namespace
