// The published percentage of an export: the stream (send, compression,
// write) fills the first kStreamShare percent, the read-back check of the
// file the rest but one; 100 only once the file has its final name.
#pragma once

#include <QtGlobal>

namespace ExportProgress {

constexpr int kStreamShare = 90;
constexpr int kLastBeforeDone = 99;

// `percent` is pv's figure for the phase (it can pass 100 when the size
// estimate was low).
inline int streamRate(int percent) { return qBound(0, percent, 100) * kStreamShare / 100; }
inline int checkRate(int percent)
{
    return qMin(kLastBeforeDone, kStreamShare + qBound(0, percent, 100) * (100 - kStreamShare) / 100);
}

} // namespace ExportProgress
