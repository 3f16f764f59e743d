// Fault injection for tests: plain files in <state root>/faults/ that make
// the simulator misbehave on purpose, without any change to the program that
// calls it.
//
//   fail-next-<cmd>   the next `zfs <cmd>` (or `zpool <cmd>`) fails once; the
//                     file is consumed. Its content, when not empty, is printed
//                     to stderr as the error text; exit status 1.
//   fail-<cmd>        every such command fails the same way until removed.
//   delay-<cmd>       milliseconds to sleep before the command starts.
//   flood-<cmd>       the command prints this many bytes of junk lines to
//                     stdout instead of running (a host that prints too much).
//   send-rate         bytes per second a real `zfs send` writes at most.
//   send-cut          `zfs send` stops after writing this many stream bytes
//                     and fails (a cut connection as the receiver sees it).
//   recv-rate         bytes per second `zfs recv` reads at most.
//   send-stall        `zfs send` writes this many stream bytes, then stops
//                     moving data and hangs (neither exits nor closes its
//                     output) until it is killed: a stalled peer for a
//                     caller's watchdog.
//   recv-stall        `zfs recv` reads this many bytes, then stops reading
//                     and hangs until it is killed (its sender then blocks
//                     on the full pipe).
//   version           the OpenZFS release to play ("2.2.7"; see SimVersion).
//   busy              dataset names, one a line, that are busy (see SimBusy).
// The byte knobs take a number with an optional K/M/G suffix; 0, an empty
// file or junk means "off".
// <cmd> is the subcommand as typed ("snapshot", "send", "recv" and "receive"
// both as "recv", "list", "destroy", ...).
#pragma once

#include <cstdint>
#include <string>

namespace zsim {

class SimFaults {
public:
    explicit SimFaults(std::string dir) : m_dir(std::move(dir)) {}

    // True when knob `name` exists; its content goes to `text`.
    bool present(const std::string &name, std::string &text) const;
    // Claims a one-shot knob: true for exactly one caller, which removes it.
    bool takeOnce(const std::string &name, std::string &text) const;
    // A numeric knob; 0 when absent or not a number.
    uint64_t number(const std::string &name) const;

    // Applies delay-<cmd>, then fail-next-<cmd> and fail-<cmd>. True when the
    // command must fail; `message` is then the text to print (a default when
    // the knob is empty).
    bool commandFails(const std::string &cmd, std::string &message) const;

private:
    std::string m_dir;
};

} // namespace zsim
