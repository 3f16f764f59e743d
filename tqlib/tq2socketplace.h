// Whether the local RPC server may put its socket file at a path: a
// directory that another user can write lets that user put their own socket
// under the service's name before it starts (or after it stops), and every
// client would then talk to them. Checked once by TQ2LocalServer::start.
//
// A directory is safe when it belongs to root or to the server's own user
// and nobody else can write it (neither others, nor a group other than
// root's). A directory others can write is accepted only when it is
// root's and has the sticky bit (like /tmp): there nobody can remove or
// rename another user's file, so a file already at the socket's path that
// belongs to another user is refused, never removed or reused. The
// directory and every directory above it are checked.
//
// Plain functions; the decisions are pure, check() reads the file system.
#pragma once

#include <QString>

#include <sys/types.h>

namespace TQ2SocketPlace {

// Why a directory `name` with owner `owner`, group `group` and mode `mode`
// cannot hold (or lead to) the socket of a server running as `self`; empty
// when it can.
QString directoryProblem(const QString &name, uid_t owner, gid_t group, mode_t mode, uid_t self);

// Why the file `name` already at the socket's path, owned by `owner`,
// may not be replaced by a server running as `self`; empty when it may.
QString existingProblem(const QString &name, uid_t owner, uid_t self);

// Checks the directory of `socketPath` (or, while it is missing, the
// deepest one of its parents that exists) and every directory above it,
// then a file already at `socketPath`, for the effective user. Empty when
// the server may listen there, else one line saying why not. Run it before
// creating missing directories and again after.
QString check(const QString &socketPath);

} // namespace TQ2SocketPlace
