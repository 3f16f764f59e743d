// The decisions and the final step of `zfs recv` for one snapshot stream:
// what its BEGIN record says, where it lands, whether it may be applied
// (create, replace, incremental, resume, skip or refuse, with zfs' texts),
// and the commit that turns staged data into a snapshot. Callers hold the
// state root's lock (shared for decide(), exclusive for commit()).
#pragma once

#include "simdatasetstore.h"
#include "simpool.h"
#include "simroot.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zsim {

struct SimRecvOptions {
    bool force = false, noMount = false, verbose = false, dryRun = false;
    bool resumable = false; // -s
    char prefixMode = 0; // 'd' or 'e'
    bool package = false;  // the stream is a package (send -R / -I)
    std::string target;
    std::vector<std::pair<std::string, std::string>> setProps; // -o, canonical names
    std::set<std::string> excludeProps;                        // -x, canonical names
};

// The BEGIN record of a snapshot stream.
struct SimRecvBegin {
    std::string fs, tosnap, fromsnap;
    uint64_t toguid = 0, fromguid = 0;
    int64_t creation = 0;
    bool hasProps = false;
    std::map<std::string, std::string> props;
    std::map<std::string, std::string> snapProps; // the snapshot's own
    bool resuming = false;  // a stream of `zfs send -t`
    uint64_t resumeObject = 0, resumeOffset = 0;
    // A raw stream (`zfs send -w`) of an encrypted dataset: its suite, key
    // format and key digest, and the sender's encryption root by name.
    bool raw = false;
    SimCrypt crypt;
    std::string encroot;
    // Where that encryption root lands on this side when the same package
    // brings it (set by the receiving session), else empty.
    std::string encrootTarget;
};

enum class SimRecvAction { Fail, Skip, Create, Replace, Incremental, Resume };

struct SimRecvDecision {
    SimRecvAction action = SimRecvAction::Fail;
    std::string message;   // complete stderr text for Fail
    uint64_t space = 0;    // bytes the pool can still take
};

class SimRecvApply {
public:
    static SimRecvBegin parseBegin(const std::string &payload);
    // "cannot receive new filesystem stream: " and its incremental and
    // resume forms.
    static std::string streamPrefix(const SimRecvBegin &b);
    // The destination file system of a stream of `streamFs`; `top` is the
    // package's top file system (empty for a single stream).
    static std::string mapTarget(const SimRecvOptions &o, const std::string &streamFs, const std::string &top);
    static SimRecvDecision decide(SimRoot &root, const SimRecvOptions &o, const SimRecvBegin &b,
                                  const std::string &fs, const std::string &snap);
    // The action a partial state finishes with once its stream is complete.
    static SimRecvAction resumedAction(const SimDataset &ds);
    // Checks, under the exclusive lock, that a completed resumed stream can
    // still be applied: the partial state is there and, for an incremental
    // one, its base too, with the destination unmodified since (unless -F).
    static SimRecvDecision decideFinish(SimRoot &root, const SimRecvOptions &o, const SimRecvBegin &b,
                                        const std::string &fs);
    // Makes the staged `changes` snapshot `snap` of `fs` and saves the pool.
    static bool commit(SimRoot &root, const SimRecvOptions &o, const SimRecvBegin &b, const std::string &fs,
                       const std::string &snap, SimRecvAction action, const std::vector<SimChange> &changes,
                       bool isTop, std::string &error);
};

} // namespace zsim
