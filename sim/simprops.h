// The dataset properties the simulator knows: their names, aliases, column
// headers, how their values are printed, where a value comes from (local,
// received, inherited, default), and which values `zfs set` accepts.
#pragma once

#include "simspace.h"

#include <string>
#include <vector>

namespace zsim {

struct SimPropDef {
    const char *name;
    const char *column;
    char kind;       // 'b' bytes, 'n' plain number, 'd' date, 'r' ratio, 's' text, 'i' keyword
    bool onFs;
    bool onSnap;
    bool settable;
    bool inherits;
    const char *defaultValue; // for settable properties
};

struct SimValue {
    std::string value;
    std::string source = "NONE"; // NONE DEFAULT LOCAL INHERITED RECEIVED
    std::string from;            // the dataset an INHERITED value comes from
};

class SimProps {
public:
    // Every known property in `zfs get all` order.
    static const std::vector<SimPropDef> &all();
    // Looks up a canonical name or an alias ("refer", "avail", ...).
    static const SimPropDef *find(const std::string &name);
    // User properties carry a ":" ("com.example:owner").
    static bool isUserProp(const std::string &name);
    // Canonical name of a known property, the name itself for a user property,
    // empty for an unknown one.
    static std::string canonical(const std::string &name);
    static std::string column(const std::string &name);
    static bool rightAligned(const std::string &name);
    // The `zfs get` SOURCE column: "-", "default", "local", "received",
    // "inherited from <dataset>".
    static std::string sourceText(const SimValue &v);
    // Checks a `zfs set` request; on refusal `reason` is the text after
    // "cannot set property for '<name>': ".
    static bool validateSet(const std::string &prop, const std::string &value, bool snapshot,
                            std::string &reason);

    explicit SimProps(SimSpace &space) : m_space(space) {}

    // The value of `prop` (canonical or user property) on a file system, or on
    // its snapshot `snap` when that is not null.
    SimValue value(SimPool &pool, SimDataset &ds, SimSnap *snap, const std::string &prop, bool parsable);

private:
    SimValue inherited(SimPool &pool, SimDataset &ds, const std::string &prop, const char *defaultValue);
    SimValue mountpoint(SimPool &pool, SimDataset &ds);

    SimSpace &m_space;
};

} // namespace zsim
