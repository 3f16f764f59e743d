#include "simbusy.h"

#include "simfiles.h"
#include "simprops.h"
#include "simspace.h"
#include "simtext.h"

namespace zsim {

SimBusy::SimBusy(const std::string &faultsDir)
{
    std::string text, error;
    if (!SimFiles::readAll(faultsDir + "/busy", text, error))
        return;
    for (std::string line : SimText::split(text, '\n')) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty())
            m_names.insert(line);
    }
}

std::string SimBusy::refusal(SimRoot &root, SimPool &pool, const std::vector<SimDataset *> &tree,
                             const std::string &verb, bool unmounts) const
{
    if (m_names.empty())
        return std::string();
    SimSpace space(root);
    SimProps props(space);
    for (SimDataset *d : tree) {
        if (!busy(d->name))
            continue;
        if (d->mounted && unmounts)
            return "cannot unmount '" + props.value(pool, *d, nullptr, "mountpoint", true).value +
                   "': pool or dataset is busy\n";
        if (!d->mounted)
            return "cannot " + verb + " '" + (verb == "rename" ? tree.front()->name : d->name) +
                   "': dataset is busy\n";
    }
    return std::string();
}

} // namespace zsim
