// `zfs send [-DLPRbcehnpvw] [-i|-I snapshot] snapshot`: the dry run (-n with
// -v/-P prints the stream sizes to stdout) and the real send of a stream in
// the simulator's own format to stdout.
// `zfs send [-nvPLecw] -t TOKEN` sends the rest of an interrupted stream
// from where the receiver stopped; with -v the token's contents come first
// (stdout with -n, else stderr). The fault knobs send-rate, send-cut and
// send-stall apply (SimFaults).
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsSend {
public:
    static int run(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
