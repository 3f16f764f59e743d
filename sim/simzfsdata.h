// Simulator-only commands that stand for file access through a mounted
// file system, for tests that need the kernel's answers rather than plain
// file writes into `zfs sim-path`:
//   zfs sim-write DATASET FILE   stdin into FILE (relative to the file
//                                system's root); refused with EROFS when
//                                readonly=on
//   zfs sim-read DATASET FILE    FILE to stdout; with atime=on and
//                                readonly=off it updates the access time,
//                                which (as on ZFS) makes the file system
//                                differ from its most recent snapshot
// Errors: "<mountpoint>/<FILE>: Read-only file system" (or the errno text),
// exit 1; bad arguments print a usage line and exit 2.
#pragma once

#include "simroot.h"

#include <string>
#include <vector>

namespace zsim {

class SimZfsData {
public:
    static int write(SimRoot &root, const std::vector<std::string> &args);
    static int read(SimRoot &root, const std::vector<std::string> &args);
};

} // namespace zsim
