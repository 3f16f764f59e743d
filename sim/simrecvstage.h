// Reads the records of one snapshot stream (after its BEGIN record, up to
// and including END) and stages what it carries: received files go to
// numbered files in a private staging directory, every record becomes a
// SimChange. Verifies the stream's checksum. The staging directory is
// removed when the object is destroyed; a successful commit moves the staged
// files out of it first.
#pragma once

#include "simdatasetstore.h"
#include "simstreamreader.h"

#include <string>
#include <vector>

namespace zsim {

class SimRecvStage {
public:
    // `spaceLimit` bytes of file data may be staged (0: no limit).
    SimRecvStage(SimStreamReader &in, std::string dir, uint64_t spaceLimit);
    ~SimRecvStage();
    SimRecvStage(const SimRecvStage &) = delete;
    SimRecvStage &operator=(const SimRecvStage &) = delete;

    // Reads up to END. With `keep` false the data is read and dropped. On
    // failure `reason` is what zfs prints after the action: "incomplete
    // stream", "checksum mismatch", "out of space", "invalid stream (...)".
    bool read(bool keep, std::string &reason);

    const std::vector<SimChange> &changes() const { return m_changes; }
    uint64_t dataBytes() const { return m_dataBytes; }

private:
    SimStreamReader &m_in;
    std::string m_dir;
    uint64_t m_spaceLimit;
    std::vector<SimChange> m_changes;
    uint64_t m_dataBytes = 0;
};

} // namespace zsim
