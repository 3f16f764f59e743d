// The mission listing behind zfsrep_mission_alload: the stored rows with
// their schedules as arrays, each running mission's live figures ("speed",
// "rate", "bytes", "total", "eta") and on every row "state", "nextrun",
// "lastrun", "lastresult" and "lasterror" ("waiting" when it is due but
// waits for a run slot, with "waitreason" saying why). Reads the parts; changes nothing
// in them. Any thread.
//
// The text of the stored rows is kept between listings, with the store's
// stamp (MissionBook::stamp) it was read at: while the stamp stays the same,
// a listing writes the kept text with the fresh run fields and live figures
// and reads no row; any change to the store reads them all again.
#pragma once

#include "liveruns.h"
#include "missionbook.h"
#include "missionrowtext.h"
#include "runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>
#include <mutex>
#include <vector>

class DueTable;
class RunHistory;
class TQ2Journals;

class MissionListing
{
public:
    // `live` gives every running mission's progress and the waiting ones
    // (the scheduler's live()), read once per listing.
    MissionListing(MissionBook &book, const DueTable &due, std::function<LiveRuns()> live, RunHistory &history,
                   std::function<QDateTime()> clock);

    // result["records"]: the missions of the page. False when a statement
    // failed (journaled).
    bool list(TQ2Journals &journals, QJsonObject &result, int page, int ofpage);
    // The same result as compact JSON text, byte for byte what
    // QJsonDocument(result).toJson(QJsonDocument::Compact) gives for the
    // result of `list`, written from the stored rows' kept text. False when
    // a statement failed (journaled); `json` is then unspecified.
    bool listJson(TQ2Journals &journals, QByteArray &json, int page, int ofpage);

private:
    // What the listing knows of runs, read once per listing.
    struct RunFacts {
        QHash<int, RunRecord> latest;
        QHash<int, qint64> dueTimes;
        LiveRuns live;
        qint64 nowSeconds = 0;
    };
    // False (journaled) when the history could not be read.
    bool readRunFacts(TQ2Journals &journals, RunFacts &facts);
    MissionRowText::RunFields runFields(const RunFacts &facts, int msnno, bool done) const;

    // Adds the run fields to every listed mission.
    void addRunFields(const RunFacts &facts, QJsonArray &records);
    // Reads the stored rows of the page into `kept` unless they were read
    // for the same page and the store is unchanged since. Called with
    // `keptLock` held. False (journaled) when a statement failed; nothing is
    // kept then.
    bool refreshKept(TQ2Journals &journals, int page, int ofpage);

    MissionBook &book;
    const DueTable &due;
    std::function<LiveRuns()> liveRuns;
    RunHistory &history;
    std::function<QDateTime()> clock;

    // The stored rows as text, and what the listing reads of each row.
    struct KeptRow {
        int msnno = 0;
        bool done = false;
    };
    struct Kept {
        bool valid = false;
        MissionBook::Stamp stamp;
        int page = 0; // the page the rows were read for
        int ofpage = 0;
        MissionRowText layout;
        MissionRowText::RowTexts texts;
        std::vector<KeptRow> rows;
    };
    std::mutex keptLock;
    Kept kept;
};
