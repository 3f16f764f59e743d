// The due table gives the missions that fell due in the order they fell due:
// the earlier due time first, then the lower mission number, whatever order
// they were armed in.
#include "duetable.h"

#include <gtest/gtest.h>

#include <QJsonObject>

namespace {

TEST(DueTableOrder, TakenByDueTimeThenNumber)
{
    const QDateTime now(QDate(2024, 3, 4), QTime(10, 16));
    DueTable due([now] { return now; });
    const qint64 at = now.toSecsSinceEpoch();
    const QList<int> armedOrder{40, 7, 300, 12, 9, 25, 3};
    for (int msnno : armedOrder)
        due.armNow(msnno); // due at the next look (time 0)
    const QList<int> taken = due.takeDue(at);
    EXPECT_EQ(taken, (QList<int>{3, 7, 9, 12, 25, 40, 300}));
    EXPECT_TRUE(due.entries().isEmpty());

    due.armForNextPass(50); // 1: when the minute ends
    due.armNow(60);         // 0: at the next look
    due.armForNextPass(5);
    EXPECT_EQ(due.takeDue(at), (QList<int>{60, 5, 50})) << "the run-now first, then by number";
    EXPECT_TRUE(due.takeDue(at).isEmpty());
}

TEST(DueTableOrder, TheEarlierScheduledTimeFirst)
{
    QDateTime now(QDate(2024, 3, 4), QTime(10, 0));
    DueTable due([&now] { return now; });
    due.arm(1, QJsonArray{QJsonObject{{"minutes", QJsonArray{15}}}});
    due.arm(2, QJsonArray{QJsonObject{{"minutes", QJsonArray{10}}}});
    due.arm(3, QJsonArray{QJsonObject{{"minutes", QJsonArray{15}}}});
    now = QDateTime(QDate(2024, 3, 4), QTime(10, 16));
    EXPECT_EQ(due.takeDue(now.toSecsSinceEpoch()), (QList<int>{2, 1, 3}));
}

} // namespace
