// What the mission kinds of a run use besides the run itself: the process
// runner, the settings read from the configuration, the event log and the
// clock. Owned by the engine; the settings are fixed before the scheduler
// starts and only read while runs go on.
#pragma once

#include "compressor.h"

#include <QDateTime>
#include <QString>

#include <functional>

class EventRecorder;
class ProcessRunner;

struct RunSettings {
    // Seconds a metered stage may go without moving a byte ("stalltimeout";
    // 0 turns the watchdog off).
    int stallTimeoutSeconds = 600;
    // Where a run's shared ssh connection keeps its socket; empty: every ssh
    // logs in by itself ("sshshare": false).
    QString sshControlDirectory;
    Compressor::Settings compression;
    // This installation's id (ServiceInstance), read once at start; empty
    // when it could not be read or made.
    QString instance;
};

struct RunServices {
    ProcessRunner &runner;
    const RunSettings &settings;
    EventRecorder &events;
    std::function<QDateTime()> clock;
};
