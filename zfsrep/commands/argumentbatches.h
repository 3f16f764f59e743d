// Lists of snapshot names split for the command lines that carry them: a
// long history does not fit one `zfs holds` or `zfs release` (Linux allows
// 2 MiB of arguments in all and 128 KiB for one, which a remote command is).
// Pure.
#pragma once

#include <QList>
#include <QStringList>

namespace ArgumentBatches {

// The bytes of names one command may carry: far below those limits, so that
// the environment and the ssh options fit too.
constexpr int kBytes = 64 * 1024;

// `items` in consecutive groups whose names, counted as a remote command
// quotes them, take at most `limit` bytes; an item longer than that is a
// group of its own. Empty for no items.
QList<QStringList> split(const QStringList &items, int limit = kBytes);

} // namespace ArgumentBatches
