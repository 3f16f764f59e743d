// The file data of one simulated dataset and its snapshots.
//
// Layout under the dataset's directory:
//   data/            the live files; tests and the demo write here directly
//   snaps/<id>/data/ a snapshot's files (never written after creation)
//   snaps/<id>/manifest  one line per entry of the snapshot
//   clean            what the live files looked like when they last matched a
//                    snapshot: per path the file's inode, size, times and mode,
//                    and the snapshot inode holding the same bytes
//
// Snapshots share unchanged files by hard links, so a snapshot costs only the
// files changed since the one before. The live tree is never linked to a
// snapshot (a write through the live tree must not reach a snapshot), so a
// live file is known to be unchanged only by comparing it with its "clean"
// record. Callers hold the state root's exclusive lock for every method that
// changes something.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zsim {

struct SimEntry {
    char type = 'f';      // 'd' directory, 'f' regular file, 'l' symbolic link
    std::string path;     // relative, "/"-separated, never empty
    uint32_t mode = 0;    // permission bits
    uint64_t size = 0;
    int64_t mtime = 0;    // nanoseconds since the epoch
    uint64_t ino = 0;
    int64_t ctime = 0;    // nanoseconds (live entries only)
    std::string target;   // symbolic links
};

// One change an incoming stream makes to its base snapshot (see SimZfsRecv).
struct SimChange {
    char type = 'f';      // 'd', 'f', 'l', or 'x' for a removed path
    std::string path;
    uint32_t mode = 0;
    int64_t mtime = 0;
    uint64_t size = 0;
    std::string target;
    std::string staged;   // file holding the received bytes ('f' only)
};

struct SimSpaceUsage {
    uint64_t liveReferenced = 0;
    uint64_t snapshotsUsed = 0;                 // space only snapshots hold
    std::map<uint64_t, uint64_t> snapUsed;       // snapshot id -> unique bytes
    std::map<uint64_t, uint64_t> snapReferenced; // snapshot id -> referenced bytes
};

class SimDatasetStore {
public:
    explicit SimDatasetStore(std::string dir);

    // Space a file of `size` bytes takes (4 KiB sectors), and the fixed cost
    // of an empty file system (24K, as on a real pool).
    static uint64_t cost(uint64_t size) { return (size + 4095) / 4096 * 4096; }
    static constexpr uint64_t kOverhead = 24576;

    const std::string &dir() const { return m_dir; }
    std::string liveDir() const { return m_dir + "/data"; }
    std::string snapDir(uint64_t id) const;
    std::string snapDataDir(uint64_t id) const { return snapDir(id) + "/data"; }

    bool create(std::string &error);
    bool destroy(std::string &error);

    // Every entry below `dir`, sorted by path (a parent before its children).
    static bool walk(const std::string &dir, std::vector<SimEntry> &entries, std::string &error);
    bool manifest(uint64_t snapId, std::vector<SimEntry> &entries, std::string &error) const;
    static bool readManifest(const std::string &file, std::vector<SimEntry> &entries, std::string &error);

    // What a bookmark keeps of its snapshot: the snapshot's manifest, copied
    // to bookmarks/<bookmarkId> (no file data), so an incremental send from
    // the bookmark still knows the base after the snapshot is gone.
    std::string bookmarkManifest(uint64_t bookmarkId) const { return m_dir + "/bookmarks/" + std::to_string(bookmarkId); }
    bool keepManifest(uint64_t snapId, uint64_t bookmarkId, std::string &error) const;
    bool copyKeptManifest(uint64_t fromId, uint64_t toId, std::string &error) const;
    bool dropManifest(uint64_t bookmarkId, std::string &error) const;

    // Takes snapshot `snapId` of the live files.
    bool capture(uint64_t snapId, std::string &error);
    // Makes the live files equal to snapshot `snapId`, copying only what differs.
    bool resetLive(uint64_t snapId, std::string &error);
    // Whether the live files differ from snapshot `snapId`.
    bool modifiedSince(uint64_t snapId);
    // Creates snapshot `snapId` as snapshot `baseId` (0: empty) with `changes`
    // applied; staged files are moved into it.
    bool buildSnapshot(uint64_t snapId, uint64_t baseId, const std::vector<SimChange> &changes,
                       std::string &error);
    bool removeSnapshot(uint64_t snapId, std::string &error);

    // Space accounting over the live files and the snapshots `snapIds`.
    bool usage(const std::vector<uint64_t> &snapIds, SimSpaceUsage &usage, std::string &error);

private:
    struct CleanRec {
        SimEntry live;
        uint64_t snapId = 0;
        uint64_t snapIno = 0;
    };
    using CleanMap = std::map<std::string, CleanRec>;

    bool readClean(CleanMap &clean) const;
    bool writeClean(const CleanMap &clean, std::string &error) const;
    bool writeManifest(const std::string &snapDirPath, const std::vector<SimEntry> &entries,
                       std::string &error) const;
    static bool sameFile(const SimEntry &live, const CleanRec &rec);
    // Gives a snapshot built in `tmp` its directory modes and manifest and
    // moves it into place as snapshot `snapId`.
    bool publish(const std::string &tmp, const std::vector<SimEntry> &man, uint64_t snapId,
                 std::string &error) const;

    std::string m_dir;
};

} // namespace zsim
