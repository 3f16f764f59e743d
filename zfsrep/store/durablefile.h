// Making a written file survive a power cut before anything relies on it:
// its data flushed with fsync, then the rename into its final name, with the
// directory flushed before and after so the new entry is on disk too.
// Any thread; each call opens and closes its own descriptors.
#pragma once

#include <QString>

namespace DurableFile {

// fsync of the file's data and metadata. False with a message naming the
// path and the system's error when it cannot be opened or flushed (a link
// at `path` is not followed).
bool syncFile(const QString &path, QString &error);
// fsync of a directory, so entries made or renamed in it are on disk.
bool syncDirectory(const QString &path, QString &error);
// `partial` flushed, its directory flushed, renamed over `target` (same
// directory), and the directory flushed again. A regular file at `target`
// is replaced; a link (or anything but a regular file) there is refused and
// left alone, and a name that is free is taken only while it stays free. False with `error` saying
// which step failed and why; `partial` is then left where it is (the caller
// decides whether to remove it), except when only the last flush failed:
// the file then already carries its final name.
bool publish(const QString &partial, const QString &target, QString &error);

// fsync of `directory` and of every directory above it up to and including
// `top`, so directories made for a file are on disk too. Only `directory`
// is flushed when it does not lie below `top`.
bool syncDirectories(const QString &directory, const QString &top, QString &error);

} // namespace DurableFile
