// Whether a due mission may start now beside the runs that go: a free slot
// of `maxparallel`, fewer than `maxperhost` runs to its remote endpoint, and
// no run whose dataset tree overlaps its own on the same side. Otherwise it
// waits, with the reason said in words. Pure.
#pragma once

#include "runfootprint.h"

#include <QList>
#include <QString>

struct RunLimits {
    static constexpr int kMost = 64;
    int maxParallel = 1; // runs at once
    int maxPerHost = 1;  // runs at once to one remote endpoint
};

namespace RunAdmission {

struct Going {
    int msnno = 0;
    RunFootprint footprint;
};

struct Decision {
    bool start = false;
    QString reason; // why it waits; empty when it starts
};

Decision decide(const RunLimits &limits, const QList<Going> &going, const RunFootprint &candidate);
// Only the count: whether a slot of `maxparallel` is free beside `going` runs.
Decision slotFree(const RunLimits &limits, int going);

} // namespace RunAdmission
