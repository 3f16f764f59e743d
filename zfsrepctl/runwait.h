// `zfsrepctl run MSNNO --wait`: starts a run and follows that very run to
// its end. The run is told from earlier ones by its number in the run
// history, which the service's run answer carries ("results.runno"). A
// service that does not send it is followed as before: the newest number is
// read before the run is asked for, and the first run of the mission with a
// higher number is the one followed (the service refuses a run-now request
// while the mission or another one runs, so no other run of it can start in
// between).
//
// On a terminal a progress line is redrawn while the run goes on; otherwise
// nothing is printed until the outcome line. Exit status: 0 succeeded,
// 1 failed or stalled (or the run was refused or never started), 3
// cancelled or interrupted, 2 no service, 130 when Ctrl-C ends the wait (the
// run goes on).
#pragma once

#include "ctloptions.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Exit status of a wait that was ended by Ctrl-C.
constexpr int ExitWaitInterrupted = 130;
// Exit status of a run that was cancelled or interrupted.
constexpr int ExitRunCancelled = 3;
// How long a run asked for may take to appear in the history.
constexpr int kRunStartSeconds = 30;

// The exit status of a run's outcome: succeeded 0, cancelled and
// interrupted 3, anything else 1. Pure.
int outcomeExit(const QString &outcome);
// The highest "runno" of a history answer's runs (0 for none). Pure.
qint64 newestRunno(const QJsonArray &runs);
// The oldest run with a number above `baseline`; an empty object when there
// is none. Pure.
QJsonObject runAfter(const QJsonArray &runs, qint64 baseline);
// The run numbered `runno`; an empty object when it is not among `runs`.
// Pure.
QJsonObject runNumbered(const QJsonArray &runs, qint64 runno);
// The run a wait follows: runNumbered(runs, answered) when the run answer
// named one (answered > 0), else runAfter(runs, baseline). Pure.
QJsonObject followedRun(const QJsonArray &runs, qint64 answered, qint64 baseline);
// True while the run has not ended. Pure.
bool isGoing(const QJsonObject &run);
// The line that ends the wait: "mission 3 run 17 succeeded after 2m05s,
// 1.2 GiB" or "mission 3 run 17 failed after 4s: <first line of the
// error>". Pure.
QString outcomeLine(int msnno, const QJsonObject &run);
// The progress line drawn on a terminal from the listed mission's live
// figures, at most `width` columns. Pure.
QString waitProgressLine(const QJsonObject &listed, int width);

// Runs "run MSNNO --wait [--json]"; with --json the finished run's history
// record is printed as {"err": 0, "results": RUN}.
int runAndWait(const CtlOptions &options, int msnno, bool json);
