// Whether the local `zfs` and `zpool` accept -j (JSON output, OpenZFS 2.3
// and later), learnt from their answers and kept for the life of the
// process: the listings try the JSON form until a tool refuses -j, then use
// the tab-separated form of the same columns (OpenZFS 2.1 and 2.2).
// Any thread: the state is one atomic value; concurrent first listings may
// each try -j once, which is harmless.
#pragma once

#include <atomic>

struct ProcessOutcome;

class JsonSupport
{
public:
    enum class State { Unknown, Supported, Refused };

    // The record of the local tools, shared by every LocalQueries that is
    // not given one of its own.
    static JsonSupport &local();

    State state() const { return value.load(); }
    // Notes what the outcome of a JSON listing says: a refusal of -j makes
    // the state Refused and returns true; a success makes it Supported; any
    // other failure (a missing dataset, a cancel, a time-out) leaves it.
    bool note(const ProcessOutcome &outcome);

private:
    std::atomic<State> value{State::Unknown};
};
