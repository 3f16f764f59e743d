// Reads the records of one snapshot stream (after its BEGIN record, up to
// and including END) and stages what it carries: received files go to
// numbered files in a private staging directory, every record becomes a
// SimChange. Verifies the stream's checksum. The staging directory is
// removed when the object is destroyed (unless keepDir() was called); a
// successful commit moves the staged files out of it first.
//
// A resumed stream starts from what an interrupted receive kept (`prior`):
// its whole records and the first bytes of a cut file, which a FILE_TAIL
// record completes. After a cut, partial() describes what arrived whole.
#pragma once

#include "simdatasetstore.h"
#include "simpartial.h"
#include "simstreamreader.h"

#include <string>
#include <vector>

namespace zsim {

class SimRecvStage {
public:
    // `spaceLimit` bytes of file data may be staged (0: no limit).
    SimRecvStage(SimStreamReader &in, std::string dir, uint64_t spaceLimit,
                 const SimPartialData *prior = nullptr);
    ~SimRecvStage();
    SimRecvStage(const SimRecvStage &) = delete;
    SimRecvStage &operator=(const SimRecvStage &) = delete;

    // Reads up to END. With `keep` false the data is read and dropped. On
    // failure `reason` is what zfs prints after the action: "incomplete
    // stream", "checksum mismatch", "out of space", "invalid stream (...)".
    bool read(bool keep, std::string &reason);

    const std::vector<SimChange> &changes() const { return m_changes; }
    uint64_t dataBytes() const { return m_dataBytes; }
    const std::string &dir() const { return m_dir; }
    // After a failed read(): the whole records and the cut file's first
    // bytes (staged paths inside dir()); `begin` is left empty.
    SimPartialData partial() const;
    // The directory survives this object (its owner keeps the files).
    void keepDir() { m_keepDir = true; }
    // Moves the staging directory to `to` (which must not exist) and
    // rewrites the staged paths.
    bool moveTo(const std::string &to, std::string &error);

private:
    SimStreamReader &m_in;
    std::string m_dir;
    uint64_t m_spaceLimit;
    std::vector<SimChange> m_changes;
    uint64_t m_dataBytes = 0;
    size_t m_fileCount = 0;
    bool m_keepDir = false;
    bool m_hasTail = false;  // a file record was cut (or is still open from `prior`)
    SimChange m_tail;
};

} // namespace zsim
