// The end of a stalled transfer: the process stops moving bytes and waits,
// without exiting and without closing its descriptors, until a signal ends
// it. Used by the send-stall and recv-stall fault knobs, so a caller's
// watchdog can be tested against a peer that is alive but silent.
#pragma once

namespace zsim {

class SimStall {
public:
    // Never returns; SIGTERM/SIGKILL (default dispositions) end the process.
    [[noreturn]] static void forever();
};

} // namespace zsim
