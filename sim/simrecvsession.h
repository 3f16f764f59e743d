// One `zfs recv` reading its snapshot streams: for each BEGIN it decides,
// stages the records, and commits them (see SimRecvApply); with -s, or for a
// resumed stream, a cut keeps the partial state (see SimRecvResume). Prints
// zfs' messages itself. One object per process, on one thread.
#pragma once

#include "simrecvapply.h"
#include "simrecvstage.h"
#include "simstreamreader.h"

#include <string>

namespace zsim {

class SimRecvSession {
public:
    SimRecvSession(SimRoot &root, const SimRecvOptions &o, SimStreamReader &in) : m_root(root), m_o(o), m_in(in) {}

    // Handles one snapshot stream whose BEGIN payload was just read; `top`
    // is the package's top file system (empty for a single stream).
    bool receive(const std::string &payload, const std::string &top);

private:
    std::string keepPartial(SimRecvStage &stage, SimRecvAction action, const SimRecvBegin &original,
                            const std::string &payload, const SimPartialData &prior, const std::string &fs,
                            uint64_t bytes);

    SimRoot &m_root;
    const SimRecvOptions &m_o;
    SimStreamReader &m_in;
    int m_count = 0;
};

} // namespace zsim
