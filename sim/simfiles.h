// File-system primitives of the simulator: whole-file reads, atomic
// rewrites, recursive create and remove, and a fast data copy that keeps a
// file's mode and modification time. Each returns false and fills `error`
// (with the system's errno text) on failure.
#pragma once

#include <cstdint>
#include <string>

namespace zsim {

class SimFiles {
public:
    static bool readAll(const std::string &path, std::string &text, std::string &error);
    // Writes a sibling temporary file, fsyncs nothing (speed over durability)
    // and renames it over `path`.
    static bool writeAtomic(const std::string &path, const std::string &text, std::string &error);
    static bool makeDirs(const std::string &path, std::string &error);
    // Like rm -rf; a missing path is success.
    static bool removeTree(const std::string &path, std::string &error);
    // Gives every directory below `path` (and itself) owner rwx, so data that
    // carried restrictive modes can be replaced or removed by its owner.
    static void makeWritable(const std::string &path);
    // Copies the data of regular file `from` into a new file `to` (which must
    // not exist), then applies `mode` and the modification time `mtimeNs`.
    static bool copyFile(const std::string &from, const std::string &to, uint32_t mode,
                         int64_t mtimeNs, std::string &error);
    static bool exists(const std::string &path);
    static std::string errnoText(int err);
};

} // namespace zsim
