// The OpenZFS release the simulator plays: 2.3.0 unless the knob file
// <state root>/faults/version names another one ("2.2.7", "2.1.11", ...).
// Older releases lack the JSON option -j/--json (and --json-int), print
// their own `zfs version` / `zpool version` lines (ignoring any argument,
// -j included), and before 2.3.3 refuse
// to destroy a held snapshot with "dataset is busy" (the simulator keeps the
// newer text for every 2.3 release, as it always printed it).
// The release is read once per process (SimVersion::load in main) and then
// asked from anywhere through current().
#pragma once

#include <string>

namespace zsim {

class SimVersion {
public:
    // Parses "2.2.7", "2.2", "zfs-2.2.7-1" (surrounding blanks ignored);
    // false for anything else.
    static bool parse(const std::string &text, SimVersion &out);
    // Reads the knob of the state root's fault directory; the default when
    // it is missing or unreadable.
    static void load(const std::string &faultsDir);
    static const SimVersion &current();
    static void setCurrent(const SimVersion &v);

    int major = 2, minor = 3, patch = 0;

    bool hasJson() const { return major > 2 || (major == 2 && minor >= 3); }
    // Whether a refused destroy of a held snapshot names the hold (2.3.3 on;
    // here every 2.3 release) rather than saying "dataset is busy".
    bool namesHoldOnDestroy() const { return hasJson(); }
    // "2.2.7"
    std::string text() const;
    // `zfs version` lines: "zfs-2.2.7-1\nzfs-kmod-2.2.7-1\n"
    std::string versionLines() const;
};

} // namespace zsim
