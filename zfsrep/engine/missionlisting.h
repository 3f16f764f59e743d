// The mission listing behind zfsrep_mission_alload: the stored rows with
// their schedules as arrays, the running mission's live figures ("speed",
// "rate", "bytes", "total", "eta") and on every row "state", "nextrun",
// "lastrun", "lastresult" and "lasterror". Reads the parts; changes nothing.
// Any thread.
#pragma once

#include "missionrowtext.h"
#include "runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>

class DueTable;
class MissionBook;
class RunHistory;
class TQ2Journals;

class MissionListing
{
public:
    // `progress` gives the running mission's progress object (the
    // scheduler's; empty when nothing runs).
    MissionListing(MissionBook &book, const DueTable &due, std::function<QJsonObject()> progress,
                   RunHistory &history, std::function<QDateTime()> clock);

    // result["records"]: the missions of the page. False when a statement
    // failed (journaled).
    bool list(TQ2Journals &journals, QJsonObject &result, int page, int ofpage);
    // The same result as compact JSON text, byte for byte what
    // QJsonDocument(result).toJson(QJsonDocument::Compact) gives for the
    // result of `list`, written straight from the stored rows. False when a
    // statement failed (journaled); `json` is then unspecified.
    bool listJson(TQ2Journals &journals, QByteArray &json, int page, int ofpage);

private:
    // What the listing knows of runs, read once per listing.
    struct RunFacts {
        QHash<int, RunRecord> latest;
        QHash<int, qint64> dueTimes;
        int running = 0;
        qint64 nowSeconds = 0;
    };
    // False (journaled) when the history could not be read.
    bool readRunFacts(TQ2Journals &journals, RunFacts &facts);
    MissionRowText::RunFields runFields(const RunFacts &facts, int msnno, bool done) const;

    // Adds the run fields to every listed mission. False when the history
    // could not be read.
    bool addRunFields(TQ2Journals &journals, QJsonArray &records);

    MissionBook &book;
    const DueTable &due;
    std::function<QJsonObject()> progress;
    RunHistory &history;
    std::function<QDateTime()> clock;
};
