// What a `zfs send` call transmits: the snapshot streams (full or
// incremental, per file system) in the order zfs sends them, each with the
// entries that differ from its base and its exact size in stream bytes. The
// dry run prints these sizes; the real send writes exactly that many bytes
// per stream.
#pragma once

#include "simresumetoken.h"
#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

struct SimSendRequest {
    std::string snapshot;  // "tank/data@c"
    std::string from;      // -i or -I argument, empty for a full stream
    bool intermediates = false; // -I
    bool replicate = false;     // -R
    bool props = false;         // -p (implied by -R)
    bool raw = false;           // -w
};

// One line of a dry run: `from` empty for a full stream.
struct SimSendLine {
    std::string from;
    std::string to;
    uint64_t size = 0;
};

struct SimSubstream {
    SimPool *pool = nullptr;
    SimDataset *ds = nullptr;
    SimSnap *from = nullptr;   // null for a full stream (or one from a bookmark)
    const SimBookmark *fromBookmark = nullptr; // the base when it is a bookmark
    SimSnap *to = nullptr;
    std::vector<SimEntry> entries; // directories, files and links to send
    std::vector<std::string> frees; // paths removed since `from`
    std::string begin;             // BEGIN payload
    uint64_t size = 0;             // bytes from BEGIN's header to END's end
    // A resumed stream (`zfs send -t`) leaves out the first `skip` records
    // (frees first, then entries, as they are sent) and the first
    // `tailOffset` bytes of the file record that follows.
    uint64_t skip = 0;
    uint64_t tailOffset = 0;
};

class SimSendPlan {
public:
    // Resolves the request. On refusal `message` holds the complete stderr
    // text and `status` the exit status (1, or 2 after a usage text).
    bool build(SimRoot &root, const SimSendRequest &request, std::string &message, int &status);

    // The rest of the stream a resume token describes: one stream, from the
    // receiver's position on. On refusal `message` is the complete stderr
    // text ("cannot resume send: ...").
    bool buildResume(SimRoot &root, const SimResumeToken &token, std::string &message);

    bool isPackage() const { return m_package; }
    const std::vector<SimSubstream> &streams() const { return m_streams; }
    // PKG_BEGIN payload (packages only).
    const std::string &packageHeader() const { return m_packageHeader; }
    // Warnings printed before sending ("could not send ...: does not
    // exist"); any of them makes the command fail after sending.
    const std::vector<std::string> &warnings() const { return m_warnings; }
    // `incremental` lines name the base by its short name in packages.
    std::string fromLabel(const SimSubstream &s) const;

    std::vector<SimSendLine> lines() const;
    uint64_t totalSize() const;

    // $ zfs send -nvP -i @a tank/data@c
    // incremental	tank/data@a	tank/data@c	1068912
    // size	1068912
    // The human form (without -P) reads "full send of ... estimated size is
    // 1.07M", "send from @a to ... estimated size is ...", "total estimated
    // size is ...".
    static std::string dryRunText(const std::vector<SimSendLine> &lines, bool parsable);

private:
    bool addStream(SimRoot &root, SimPool &pool, SimDataset &ds, SimSnap *from, SimSnap *to,
                   bool withProps, std::string &error, const SimBookmark *fromBookmark = nullptr);
    // `zfs send [-w] -i FS#BM FS@SNAP`: one stream from a bookmark.
    bool buildFromBookmark(SimRoot &root, const SimSendRequest &request, SimRoot::Found &found,
                           std::string &message);

    // Whether `ds`'s streams go raw (encrypted datasets under -w), and the
    // refusals of a plain send of encrypted data; "" when it may go.
    bool rawFor(const SimDataset &ds) const { return m_raw && ds.encrypted(); }
    std::string plainRefusal(SimPool &pool, const std::vector<SimDataset *> &tree, const std::string &sent,
                             bool withProps) const;

    bool m_package = false;
    bool m_raw = false;
    std::vector<SimSubstream> m_streams;
    std::string m_packageHeader;
    std::vector<std::string> m_warnings;
};

} // namespace zsim
