// The mission listing behind zfsrep_mission_alload: the stored rows with
// their schedules as arrays, the running mission's live figures ("speed",
// "rate", "bytes", "total", "eta") and on every row "state", "nextrun",
// "lastrun", "lastresult" and "lasterror". Reads the parts; changes nothing.
// Any thread.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>

class DueTable;
class MissionBook;
class RunHistory;
class Scheduler;
class TQ2Journals;

class MissionListing
{
public:
    MissionListing(MissionBook &book, const DueTable &due, const Scheduler &scheduler, RunHistory &history,
                   std::function<QDateTime()> clock);

    // result["records"]: the missions of the page. False when a statement
    // failed (journaled).
    bool list(TQ2Journals &journals, QJsonObject &result, int page, int ofpage);

private:
    // Adds the run fields to every listed mission. False when the history
    // could not be read.
    bool addRunFields(TQ2Journals &journals, QJsonArray &records);

    MissionBook &book;
    const DueTable &due;
    const Scheduler &scheduler;
    RunHistory &history;
    std::function<QDateTime()> clock;
};
