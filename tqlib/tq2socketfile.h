// The listening Unix-domain socket of the local RPC server as a file:
// created under its final path with its final mode and group already set,
// so that no client ever sees it with wider permissions than asked for.
//
// The socket is bound inside a private temporary directory (mode 0700) next
// to the final path, given its mode and group there, and renamed over the
// path. Plain functions; callers own the returned descriptor.
#pragma once

#include <QString>

#include <sys/types.h>

namespace TQ2SocketFile {

// Binds and listens on `path` (missing directories are created, 0755) with
// file mode `mode` and, when `group` is not (gid_t)-1, that group. The
// descriptor is non-blocking and close-on-exec. -1 on failure, `error` then
// says why. A file already at `path` is replaced.
int listenAt(const QString &path, mode_t mode, gid_t group, int backlog, QString *error);

// Whether a server accepts connections on the socket file `path` now (a
// refused connection means the file was left behind by a dead server).
bool isAnswering(const QString &path);

// Removes `path` when it is still the socket file with inode `inode` (a
// later server may have replaced it).
void removeIfSame(const QString &path, ino_t inode);

// The inode of `path`, 0 when it does not exist.
ino_t inodeOf(const QString &path);

} // namespace TQ2SocketFile
