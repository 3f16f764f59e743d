// The send plan of `zfs send [-w] -i FS#BM FS@SNAP`: one stream from a
// bookmark (see SimSendPlan).
#include "simsendplan.h"

#include "simnames.h"

namespace zsim {

bool SimSendPlan::buildFromBookmark(SimRoot &root, const SimSendRequest &req, SimRoot::Found &f,
                                    std::string &message)
{
    // $ zfs send -R -i #bm tank/data@c
    // Error: Unsupported flag with filesystem or bookmark.
    if (req.replicate || req.intermediates || req.props) {
        message = "Error: Unsupported flag with filesystem or bookmark.\n";
        return false;
    }
    m_package = false;
    const std::string name = req.snapshot;
    const std::string from = req.from[0] == '#' ? f.ds->name + req.from : req.from;
    const std::string errbuf = "warning: cannot send '" + name + "': ";
    if (SimNames::datasetOf(from.substr(0, from.find('#'))) != f.ds->name) {
        message = errbuf + "not an earlier snapshot from the same fs\n";
        return false;
    }
    const SimBookmark *bm = f.ds->bookmark(from.substr(from.find('#') + 1));
    if (!bm) {
        message = errbuf + "incremental source (" + from + ") does not exist\n";
        return false;
    }
    if (bm->createtxg >= f.snap->createtxg) {
        message = errbuf + "not an earlier snapshot from the same fs\n";
        return false;
    }
    // A raw incremental carries the base's ivset guid, which only the
    // bookmark knows once its snapshot is gone.
    if (rawFor(*f.ds) && bm->ivset == 0) {
        message = errbuf + "IV set guid missing. See errata 4 at "
                           "https://openzfs.github.io/openzfs-docs/msg/ZFS-8000-ER.\n";
        return false;
    }
    const std::string refusal = plainRefusal(*f.pool, {f.ds}, name, false);
    if (!refusal.empty()) {
        message = refusal;
        return false;
    }
    std::string error;
    if (!addStream(root, *f.pool, *f.ds, nullptr, f.snap, false, error, bm)) {
        message = "internal error: " + error + "\n";
        return false;
    }
    return true;
}

} // namespace zsim
