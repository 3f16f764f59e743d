// A request to end the work of one run. The scheduler (or an operator's
// cancel, a removal of the mission, a stop of the service) sets it from any
// thread; every step of the run reads it: the process runner ends a child
// whose request carries a set token, the stage runner ends its pipeline.
// Setting it is final for the run it belongs to.
#pragma once

#include <atomic>

class CancelToken
{
public:
    enum Reason { None = 0, Operator = 1, Stopping = 2, Removed = 3 };

    // The first reason given wins; later calls change nothing.
    void cancel(Reason reason)
    {
        int expected = None;
        reasonCode.compare_exchange_strong(expected, reason);
    }
    bool isCancelled() const { return reasonCode.load() != None; }
    Reason reason() const { return static_cast<Reason>(reasonCode.load()); }

private:
    std::atomic<int> reasonCode{None};
};
