// The resumable side of `zfs recv`: what an interrupted `zfs recv -s` keeps,
// the token it shows, and `zfs recv -A`, which throws it away.
//
// What exists after a cut, as OpenZFS does it:
// - a full stream into a new file system: the file system exists, without
//   snapshots and unmounted (OpenZFS' "inconsistent" dataset); `zfs list`
//   shows it, its receive_resume_token is set, and `zfs recv -A` destroys it;
// - an incremental stream, or a full one with -F over an existing file
//   system: OpenZFS receives into the hidden clone TARGET/%recv, so TARGET
//   keeps its data and snapshots; the simulator keeps the state beside
//   TARGET (not listed, like %recv) and TARGET's receive_resume_token shows
//   it; `zfs recv -A` removes only that state.
// In both cases a new receive that is not the resumed stream (`zfs send -t`)
// fails with "destination X contains partially-complete state from "zfs
// receive -s"."; a resumed stream needs no -s to stay resumable.
#pragma once

#include "simpartial.h"
#include "simresumetoken.h"
#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimRecvResume {
public:
    // The token of a dataset's partial state ("-" when there is none).
    static std::string tokenText(const SimDataset &ds);
    static SimResumeToken token(const SimDataset &ds);

    // `zfs recv -A TARGET`.
    static int abort(SimRoot &root, const std::vector<std::string> &operands);
};

} // namespace zsim
