// The metadata of one simulated pool: its size and guid, its transaction
// counter, every dataset with its properties, and every snapshot with its
// holds. It is kept in one text file per pool (pools/<name>/pool.meta under
// the state root), read whole and rewritten atomically; the file data of
// datasets and snapshots lives beside it (see SimDatasetStore).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zsim {

struct SimHold {
    std::string tag;
    int64_t time = 0;
};

struct SimSnap {
    uint64_t id = 0;        // directory name under the dataset's snaps/
    std::string name;       // the part after "@"
    uint64_t guid = 0;
    uint64_t createtxg = 0;
    int64_t creation = 0;
    std::vector<SimHold> holds; // in the order they were placed
    // User properties set on the snapshot itself (`zfs snapshot -o`, or
    // received with it in a -R or -p stream); others are inherited from
    // the dataset.
    std::map<std::string, std::string> props;
};

// A bookmark (pool/fs#name): what a snapshot was, without its data. It
// keeps the snapshot's guid, createtxg and creation time, and for an
// encrypted dataset the ivset guid a raw incremental from it needs. The
// list of what the snapshot held (the base an incremental send compares
// with) lives in the dataset's store under bookmarks/<id>.
struct SimBookmark {
    uint64_t id = 0;
    std::string name;       // the part after "#"
    uint64_t guid = 0;
    uint64_t createtxg = 0;
    int64_t creation = 0;
    uint64_t ivset = 0;     // 0: none (not encrypted, or made without it)
};

// The position of an interrupted `zfs recv -s` into a dataset (its files
// are in SimPartialStore's directory). `newfs`: the receive created the
// dataset, which then has no snapshot yet and is listed but not mounted, as
// OpenZFS keeps an inconsistent new file system; otherwise the state belongs
// to the hidden TARGET/%recv of OpenZFS and the dataset itself is untouched.
struct SimPartial {
    bool active = false;
    bool newfs = false;
    uint64_t object = 0, offset = 0, bytes = 0;
    uint64_t toguid = 0, fromguid = 0;
    std::string toname;
    bool raw = false; // the stream was raw (`zfs send -w`); a resume sends raw again
};

// Native encryption of a dataset (see SimCrypto). `suite` empty: not
// encrypted. Every encrypted dataset names its encryption root by dataset
// id (its own id when it is one); the root keeps the key's digest and
// whether the key is loaded. keylocation lives among the local properties.
struct SimCrypt {
    std::string suite;      // "aes-256-gcm", ...
    std::string keyformat;  // "passphrase", "hex", "raw"
    uint64_t rootId = 0;
    std::string keyDigest;  // encryption roots only
    bool keyLoaded = false; // encryption roots only
};

struct SimDataset {
    uint64_t id = 0;        // directory name under the pool's ds/
    std::string name;       // full name, pool included
    uint64_t guid = 0;
    uint64_t createtxg = 0;
    int64_t creation = 0;
    bool mounted = false;
    std::map<std::string, std::string> local;    // properties set here
    std::map<std::string, std::string> received; // properties set by zfs recv
    // Received values an explicit inherit overrides (OpenZFS' "$inherit"):
    // `zfs recv -x`, and `-o` on the children of a package. The value stays
    // (`zfs get -o received`) but the effective one is inherited or default.
    std::set<std::string> inheritForced;
    std::vector<SimSnap> snaps;                  // ordered by createtxg
    std::vector<SimBookmark> bookmarks;          // ordered by name
    SimPartial partial;
    SimCrypt crypt;

    bool encrypted() const { return !crypt.suite.empty(); }
    SimSnap *snap(const std::string &shortName);
    SimSnap *snapByGuid(uint64_t guid);
    SimBookmark *bookmark(const std::string &shortName);
    SimSnap *latest() { return snaps.empty() ? nullptr : &snaps.back(); }
};

class SimPool {
public:
    std::string name;
    uint64_t size = 0;
    uint64_t guid = 0;
    uint64_t txg = 0;
    uint64_t nextId = 1;
    int64_t creation = 0;
    std::vector<SimDataset> datasets; // ordered by name

    // Reads the metadata file; false with a message when it is unreadable.
    bool load(const std::string &path, std::string &error);
    // Writes to a temporary file and renames it over `path`.
    bool save(const std::string &path, std::string &error) const;

    SimDataset *dataset(const std::string &fullName);
    SimDataset *datasetById(uint64_t id);
    // Direct and indirect children of `fullName`, ordered by name.
    std::vector<SimDataset *> descendants(const std::string &fullName);
    void sortDatasets();
    uint64_t allocateId() { return nextId++; }
};

} // namespace zsim
