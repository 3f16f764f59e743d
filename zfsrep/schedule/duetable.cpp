#include "duetable.h"

#include <QPair>

#include <algorithm>

#include "schedules.h"
#include "tq2print.h"

DueTable::DueTable(std::function<QDateTime()> clockFunction) : clock(std::move(clockFunction)) {}

void DueTable::arm(int msnno, const QJsonArray &schedules)
{
    if (schedules.isEmpty()) {
        std::lock_guard<std::mutex> guard(lock);
        table.insert(msnno, kNextPass);
        return;
    }
    // The next run is computed before the lock is taken.
    const QDateTime start = clock();
    qint64 smallest = 0;
    for (const QJsonValue &schedule : schedules) {
        const qint64 due = toDueTime(nextScheduledDateTime(schedule.toObject(), start, start.date()));
        if (smallest == 0 || due < smallest)
            smallest = due;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (smallest != 0)
        table.insert(msnno, smallest);
    else
        table.remove(msnno);
}

void DueTable::armForNextPass(int msnno)
{
    std::lock_guard<std::mutex> guard(lock);
    table.insert(msnno, kNextPass);
    marker = clock().time().minute();
}

void DueTable::armNow(int msnno)
{
    std::lock_guard<std::mutex> guard(lock);
    table.insert(msnno, kNow);
}

void DueTable::disarm(int msnno)
{
    std::lock_guard<std::mutex> guard(lock);
    table.remove(msnno);
}

QList<int> DueTable::takeDue(qint64 timestamp)
{
    // In the order they fell due: the earlier due time first, and among
    // missions due at one time the lower number (the hash has no order).
    QList<QPair<qint64, int>> fallen;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
            if (it.value() <= timestamp)
                fallen.append(qMakePair(it.value(), it.key()));
        }
        for (const auto &entry : fallen)
            table.remove(entry.second);
    }
    std::sort(fallen.begin(), fallen.end());
    QList<int> due;
    for (const auto &entry : fallen)
        due.append(entry.second);
    return due;
}

QHash<int, qint64> DueTable::entries() const
{
    // An element-wise copy: the caller's hash shares no data with the table,
    // so later changes never touch memory the caller reads.
    std::lock_guard<std::mutex> guard(lock);
    QHash<int, qint64> copy;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        copy.insert(it.key(), it.value());
    return copy;
}

void DueTable::setProblem(int msnno, const QString &problem)
{
    std::lock_guard<std::mutex> guard(lock);
    if (problem.isEmpty())
        problems.remove(msnno);
    else
        problems.insert(msnno, problem);
}

QString DueTable::problem(int msnno) const
{
    std::lock_guard<std::mutex> guard(lock);
    return problems.value(msnno);
}
