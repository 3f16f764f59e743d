// A request to end the work of one run. The scheduler (or an operator's
// cancel, a removal of the mission, a stop of the service) sets it from any
// thread; every step of the run reads it: the process runner ends a child
// whose request carries a set token, the stage runner ends its pipeline.
// Setting it is final for the run it belongs to.
//
// Every look at the token is stamped (steady clock): a run whose steps keep
// looking is alive, which the scheduler's heartbeat reports while it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

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
    bool isCancelled() const
    {
        lookedAt.store(steadyMs(), std::memory_order_relaxed);
        return reasonCode.load() != None;
    }
    Reason reason() const { return static_cast<Reason>(reasonCode.load()); }
    // Milliseconds since a step last looked at the token; -1 when none has.
    std::int64_t sinceLastLookMs() const
    {
        const std::int64_t looked = lookedAt.load(std::memory_order_relaxed);
        return looked == 0 ? -1 : steadyMs() - looked;
    }

private:
    // The steady clock in milliseconds, from 1 on: 0 stays "never looked".
    static std::int64_t steadyMs()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
    }

    std::atomic<int> reasonCode{None};
    mutable std::atomic<std::int64_t> lookedAt{0};
};
