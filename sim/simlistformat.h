// Output layout of `zfs list` and `zfs get`: the one-line JSON document of
// -j (key order and value typing as OpenZFS 2.3 prints them) and the text
// table (padded columns with a header, or tab-separated fields with -H).
// Pure functions of their input, so they can be checked against recorded
// output without any state.
#pragma once

#include "simprops.h"

#include <string>
#include <utility>
#include <vector>

namespace zsim {

struct SimListRow {
    std::string name;
    std::string type;         // "FILESYSTEM" or "SNAPSHOT"
    std::string pool;
    std::string createtxg;
    std::string dataset;      // snapshots only
    std::string snapshotName; // snapshots only
    std::vector<std::pair<std::string, SimValue>> properties; // canonical name, value
};

class SimListFormat {
public:
    // $ zfs list -pj -o used tank
    // {"output_version":{"command":"zfs list","vers_major":0,"vers_minor":1},"datasets":{"tank":{...}}}
    // `command` is "zfs list" or "zfs get". Ends with "\n".
    static std::string json(const std::string &command, const std::vector<SimListRow> &rows, bool jsonInt);

    // Columns joined by two spaces, each padded to its widest cell (numbers
    // right-aligned; a left-aligned last column is not padded), after a header
    // line; with `scripted` (-H) one tab between fields and no header.
    // `minWidth` gives a column's least width (0 for none).
    static std::string table(const std::vector<std::string> &headers, const std::vector<bool> &rightAlign,
                             const std::vector<size_t> &minWidth,
                             const std::vector<std::vector<std::string>> &cells, bool scripted);
};

} // namespace zsim
