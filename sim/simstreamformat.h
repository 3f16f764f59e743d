// The simulator's send stream: a byte format of its own that carries real
// data, so a receive can check it and refuse a cut or corrupted stream.
//
// Every record starts with a 16-byte header: magic "ZSIM", a 32-bit type, a
// 64-bit payload length (all little endian), then the payload.
//   PKG_BEGIN  a package (-R / -I): the sent tree, every file system with all
//              its snapshots (name, guid) as text lines
//   BEGIN      one snapshot stream: file system, to/from snapshot names and
//              guids, creation time, properties, as text lines
//   DIR        u32 mode, u32 path length, i64 mtime (ns), path
//   FILE       u32 mode, u32 path length, i64 mtime, u64 size, path, data
//   SYMLINK    u32 mode, u32 path length, i64 mtime, path, target
//   FREE       path (removed since the base snapshot)
//   FILE_TAIL  the rest of a file whose first bytes an interrupted receive
//              already holds (resumed streams only): u32 mode, u32 path
//              length, i64 mtime, u64 size, u64 offset, path, data from
//              offset to size
//   END        Fletcher-4 digest (32 bytes) of every byte from BEGIN's
//              header through END's own header
//   PKG_END    empty
// A single stream is BEGIN..END; a package is PKG_BEGIN, any number of
// BEGIN..END, PKG_END.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

class SimStreamFormat {
public:
    enum Type : uint32_t { PkgBegin = 1, Begin = 2, Dir = 3, File = 4, Symlink = 5, Free = 6, End = 7, PkgEnd = 8, FileTail = 9 };
    static constexpr uint32_t kMagic = 0x4d49535a; // "ZSIM"
    static constexpr uint64_t kHeaderSize = 16;
    static constexpr uint64_t kDigestSize = 32;

    using Lines = std::vector<std::vector<std::string>>;
    // Text payload: one line per record, tab-separated escaped fields.
    static std::string encodeLines(const Lines &lines);
    static Lines decodeLines(const std::string &text);
    // The first line whose first field is `key`; its second field or "".
    static std::string field(const Lines &lines, const std::string &key);

    static std::string header(uint32_t type, uint64_t length);
    static std::string entryMeta(char type, uint32_t mode, int64_t mtime, uint64_t size,
                                 const std::string &path, const std::string &target);
    // Payload length of an entry record (FILE includes its data).
    static uint64_t entryLength(char type, uint64_t size, const std::string &path, const std::string &target);
    // FILE_TAIL record: header and fixed fields, without the data.
    static std::string tailMeta(uint32_t mode, int64_t mtime, uint64_t size, uint64_t offset,
                                const std::string &path);
    static uint64_t tailLength(uint64_t size, uint64_t offset, const std::string &path)
    {
        return 32 + path.size() + (size - offset);
    }

    static void putU32(std::string &out, uint32_t v);
    static void putU64(std::string &out, uint64_t v);
    static uint32_t getU32(const char *p);
    static uint64_t getU64(const char *p);

    // A path a stream may carry: relative, no "." or ".." components, no
    // empty components.
    static bool safePath(const std::string &path);
};

} // namespace zsim
