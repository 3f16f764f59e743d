// `zfs receive|recv [-FhMnsuv] [-d|-e] [-o prop=value]... [-x prop]... target`:
// reads a stream written by SimZfsSend from stdin and applies it the way
// ZFS does: a full stream creates (or with -F replaces) a file system, an
// incremental one finds its base by guid, refuses a destination modified
// since that base (unless -F rolls it back), skips a snapshot already present
// with the same guid, and every snapshot stream is atomic: a cut or corrupted
// stream leaves the destination as it was.
//
// SIGTERM, SIGINT and SIGHUP end the input like a cut (exit 1).
// -s keeps a cut snapshot stream as partial state that `zfs send -t`
// continues (see SimRecvResume); -A TARGET throws that state away. -u leaves
// received file systems unmounted; -x PROP ignores the stream's value of PROP
// (the value is then inherited); -o PROP=VALUE sets PROP locally on the
// received file system (for a package: on its top, the others inherit).
// The fault knobs recv-rate and recv-stall apply (SimFaults).
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsRecv {
public:
    static int run(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
