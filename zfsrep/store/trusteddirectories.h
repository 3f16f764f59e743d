// Whether the directories a file of the service lies in may be trusted: a
// directory that another user can write lets that user plant a link or a
// file of its own under the name the service is about to write. Every
// directory from "/" down to the one holding the file is looked at; one that
// others can write is refused unless it is root's and sticky (like /tmp),
// where nobody can rename or remove another user's entry.
// Any thread; no state between calls.
#pragma once

#include <QString>

#include <sys/types.h>

namespace TrustedDirectories {

// Mode of the directories the service creates.
constexpr mode_t kCreatedMode = 0750;

// The rule for one directory: false when users other than root may write it
// (world-writable, or group-writable for a group other than root's), unless
// it is owned by root and has the sticky bit.
bool isTrusted(mode_t mode, uid_t owner, gid_t group);

// Checks every directory of the absolute path `directory`, "/" first (links
// among them are followed and the directories they lead to are checked the
// same way). False with `error` naming the first directory that is missing,
// not a directory or not trusted.
bool check(const QString &directory, QString &error);

// As check(), and creates the directories that are missing, one at a time,
// with kCreatedMode (an existing directory keeps its mode).
bool make(const QString &directory, QString &error);

} // namespace TrustedDirectories
