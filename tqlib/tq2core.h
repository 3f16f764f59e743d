// The framework base of an application object: its file logger, the
// debugging switch, the parsed configuration and the directories it runs
// from. The application class derives from it (after QObject) and fills the
// members during start-up.
//
// Threads: construct and configure on the main thread before other threads
// exist; afterwards `debugging` may be read and written from any thread and
// the other members are only read.
#pragma once

#include "tq2logger.h"

#include <QDir>
#include <QJsonObject>

#include <atomic>

class TQ2Core
{
public:
    // The logger with its defaults (no file, so it writes nothing) becomes
    // the current logger. `appDir` is the directory of the executable;
    // `configDir` its "etc" subdirectory when that exists, otherwise the
    // per-application writable data location.
    TQ2Core();
    virtual ~TQ2Core();
    TQ2Core(const TQ2Core &) = delete;
    TQ2Core &operator=(const TQ2Core &) = delete;

    TQ2Logger logger;
    std::atomic<bool> debugging{false};
    QJsonObject config;
    QDir appDir;
    QDir configDir;
};
