// What one transfer stage (a pipeline run under `script`) came to.
#pragma once

#include <QString>

struct StageOutcome {
    bool started = false;
    bool succeeded = false;
    bool cancelled = false;
    bool stalled = false; // ended by the watchdog: no byte moved for too long
    qint64 bytes = 0;     // bytes pv counted (metered stages only)
    QString errorText;    // the failing tool's message
};
