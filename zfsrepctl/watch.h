// `zfsrepctl watch`: a live view of the missions, redrawn every interval,
// with a progress bar for the one that runs.
//
//   zfsrepctl watch [MSNNO] [--interval S] [--once] [--until-finished MSNNO]
//                   [--width N] [--json]
//
// With MSNNO only that mission is shown; otherwise the running missions
// come first, the others in the service's order.
// It ends with status 0 on Ctrl-C and when the service goes away after the
// first listing (one line on standard error says so). --until-finished
// follows the run going on or about to start (by its number in the run
// history when the service has it recorded as going); when there is none it
// ends at once with the last run's outcome.
#pragma once

#include "ctloptions.h"
#include "missionview.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

struct WatchOptions {
    int intervalMs = 1000;
    bool once = false;
    int mission = 0;       // the one mission shown, 0: all
    int untilFinished = 0; // mission number, 0: watch until interrupted
    int width = 0;         // 0: the terminal's width
    bool json = false;     // each listing's answer as one line of JSON
};

// Reads the words after "watch". False with `error` set on an unknown word
// or a value that is not a positive whole number. Pure.
bool parseWatchOptions(const QStringList &args, WatchOptions &out, QString &error);

// The listed records as watch shows them: only mission `msnno` when it is
// not 0, else every one, running missions first, then waiting ones (each
// group in the given order). Pure.
QJsonArray watchedRecords(const QJsonArray &records, int msnno);

// True when an outcome of a finished run ("lastresult") means it did not
// do its job.
bool isFailedOutcome(const QString &outcome);

// Seconds past `now` a listed next run may lie and still count as "about to
// start" (the listing's clock and the client's may differ by a second).
constexpr qint64 kStartingSlackSeconds = 2;
// True when the listed mission is due now (a run was asked for and the
// scheduler has not picked it up yet): its "nextrun" is at most
// kStartingSlackSeconds past `now`. Pure.
bool isStarting(const QJsonObject &mission, qint64 now);

int runWatch(const CtlOptions &options);
