// Runs the transfer stages of every mission kind the same way: the pipeline
// under `script` (SHELL=/bin/bash, LC_ALL=C so that tools print in one known
// notation, SSHPASS when a password is given), watched in short slices so
// that the run's cancel token ends it within a fraction of a second, its
// terminal output kept for the error message. Every pipeline carries
// `pv -f -n -b -t -i 1`; its numbers are read once a second, and a stage
// whose byte count has not grown for the stall timeout is ended as stalled,
// also after the whole stream has passed pv while the far end (a remote
// receive, a compressor writing out) has not finished.
//   metered:   a replication stream; the numbers feed the run's progress.
//   displayed: an export, check or restore; the caller publishes the figures
//              in its own percentage range.
// Used on the scheduler thread by the run that owns the stage.
#pragma once

#include "processrunner.h"
#include "stageoutcome.h"

#include <QByteArray>
#include <QString>

#include <functional>

class PvMeter;
class Run;

class StageRunner
{
public:
    static constexpr int kStageStartMs = 30000;

    // `stallTimeoutSeconds` 0 turns the watchdog off.
    StageRunner(ProcessRunner &runner, int stallTimeoutSeconds);

    // `size` is the stream's estimate; the run's progress counts from the
    // stage it was told about (RunProgress::beginStage).
    StageOutcome metered(Run &run, const QString &pipeline, const QString &password, qint64 size);
    // `size` is the bytes pv is expected to count (its percentage's 100);
    // `onStep` gets the stage's figures once a second and once at its end.
    StageOutcome displayed(Run &run, const QString &pipeline, qint64 size,
                           const std::function<void(const PvMeter &)> &onStep);

private:
    StageOutcome watch(Run &run, const QString &pipeline, const QString &password, qint64 size,
                       const std::function<void(const PvMeter &)> &onStep);
    std::unique_ptr<WatchedProcess> spawn(const QString &pipeline, const QString &password);
    // Reads the end of a stage into `outcome`: success, or the error text.
    void finish(WatchedProcess &process, const QByteArray &terminal, StageOutcome &outcome) const;

    ProcessRunner &runner;
    int stallSeconds;
};
