// The due-time table: when each armed mission runs next (seconds since the
// epoch; 0 "at the next look", 1 "when the current minute ends"), and why a
// pending mission is not armed (a stored row that breaks the mission rules).
// The scheduler takes the due entries out; the engine arms and disarms as
// missions are stored, changed and removed.
//
// Any thread; one lock guards everything, held only for table operations.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>

class DueTable
{
public:
    static constexpr qint64 kNow = 0;
    static constexpr qint64 kNextPass = 1;

    // `clock` gives local time (tests set their own).
    explicit DueTable(std::function<QDateTime()> clock);

    // Arms `msnno` at the earliest next time of `schedules`; an empty list
    // arms it for the next pass (the minute marker stays). A schedule list
    // that never matches disarms it.
    void arm(int msnno, const QJsonArray &schedules);
    // Due when the current minute ends: the minute marker moves to now.
    void armForNextPass(int msnno);
    // Due at the scheduler's next look (a run-now request).
    void armNow(int msnno);
    void disarm(int msnno);
    // Takes out and returns every mission due at `timestamp`, in the order
    // they fell due (due time, then mission number).
    QList<int> takeDue(qint64 timestamp);
    // A copy of the table.
    QHash<int, qint64> entries() const;

    // Why a mission is not armed (empty clears it).
    void setProblem(int msnno, const QString &problem);
    QString problem(int msnno) const;

    // The minute of the scheduler's last pass; a pass starts when the clock's
    // minute differs from it.
    int minuteMarker() const { return marker.load(); }
    void setMinuteMarker(int minute) { marker = minute; }

private:
    std::function<QDateTime()> clock;
    mutable std::mutex lock;
    QHash<int, qint64> table;
    QHash<int, QString> problems;
    std::atomic<int> marker{0};
};
