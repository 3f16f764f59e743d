// Busy datasets for tests: the knob file <state root>/faults/busy names
// datasets, one full name per line, that something on the machine holds
// (open files in a mounted one, a kernel hold on an unmounted one). Commands
// that must unmount or release such a dataset fail as OpenZFS does:
//   mounted, and the command unmounts it (`zfs destroy`, `zfs rename`
//   without -u, also for a descendant in the tree):
//     cannot unmount '/tank/data': pool or dataset is busy
//   not mounted:
//     cannot destroy 'tank/data': dataset is busy
//     cannot rename 'tank/data': dataset is busy
// `zfs rename -u` leaves mounts alone, so a busy mounted dataset renames.
#pragma once

#include "simroot.h"

#include <set>
#include <string>
#include <vector>

namespace zsim {

class SimBusy {
public:
    // Reads the knob; an absent file means nothing is busy.
    explicit SimBusy(const std::string &faultsDir);

    bool busy(const std::string &dataset) const { return m_names.count(dataset) > 0; }

    // The error text (one line, newline included) when the command may not
    // go on, else "". `tree`: the datasets the command changes, the one
    // named first; `verb`: "destroy" or "rename"; `unmounts`: whether the
    // command unmounts them first.
    std::string refusal(SimRoot &root, SimPool &pool, const std::vector<SimDataset *> &tree,
                        const std::string &verb, bool unmounts) const;

private:
    std::set<std::string> m_names;
};

} // namespace zsim
