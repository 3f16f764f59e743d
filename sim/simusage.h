// The usage texts `zfs` and `zpool` print after a command-line error, and the
// one place that prints them (always to stderr, always exit status 2); also
// the report of a failure of the simulator itself (exit status 1).
#pragma once

#include <string>

namespace zsim {

class SimUsage {
public:
    // The synopsis lines of one subcommand, each starting with a tab.
    // Releases without JSON output (SimVersion) print them without "[-j ...]".
    static std::string synopsis(const std::string &tool, const std::string &command);
    // `text` with every " [-j ...]" group removed.
    static std::string withoutJson(std::string text);
    // Prints "<message>\n" (when not empty), then the usage text; returns 2.
    static int fail(const std::string &tool, const std::string &command, const std::string &message);
    // Prints "internal error: <error>\n"; returns 1.
    static int internal(const std::string &error);
};

} // namespace zsim
