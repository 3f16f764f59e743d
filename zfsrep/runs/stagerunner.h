// Runs the transfer stages of every mission kind the same way: the pipeline
// under `script` (SHELL=/bin/bash, SSHPASS when a password is given), watched
// in short slices so that the run's cancel token ends it within a fraction of
// a second, its terminal output kept for the error message.
//   metered:   a replication stream whose pipeline carries `pv -n -b -t`; its
//              numbers feed the run's progress once a second, and a stage whose
//              byte count does not move for the stall timeout is ended.
//   displayed: a stage that shows pv's display (export, check, restore); each
//              step's output is handed to the caller's callback.
// Used on the scheduler thread by the run that owns the stage.
#pragma once

#include "processrunner.h"
#include "stageoutcome.h"

#include <QByteArray>
#include <QString>

#include <functional>

class Run;

class StageRunner
{
public:
    static constexpr int kStageStartMs = 30000;
    static constexpr int kStageStepMs = 3000;

    // `stallTimeoutSeconds` 0 turns the watchdog off.
    StageRunner(ProcessRunner &runner, int stallTimeoutSeconds);

    // `size` is the stream's estimate; the run's progress counts from the
    // stage it was told about (RunProgress::beginStage).
    StageOutcome metered(Run &run, const QString &pipeline, const QString &password, qint64 size);
    // `onStep` gets each step's output (a fresh buffer per step).
    StageOutcome displayed(Run &run, const QString &pipeline, const std::function<void(QByteArray &)> &onStep);

private:
    std::unique_ptr<WatchedProcess> spawn(const QString &pipeline, const QString &password);
    // Reads the end of a stage into `outcome`: success, or the error text.
    void finish(WatchedProcess &process, const QByteArray &terminal, StageOutcome &outcome) const;

    ProcessRunner &runner;
    int stallSeconds;
};
