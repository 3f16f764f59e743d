// The service's own executable as a helper of its transfer pipelines:
//
//     zfsrep --pipe-buffer BYTES PROGRAM [ARGUMENTS...]
//
// gives the pipes on standard input and standard output a buffer of BYTES
// (F_SETPIPE_SZ; a descriptor that is no pipe, or a size the system refuses,
// is left as it is) and then becomes PROGRAM. A shell pipeline makes pipes
// of 64 KiB, so every 64 KiB of a stream wakes the next process: around
// `pv` in a stream of gigabytes that costs more than pv itself. The pipe
// belongs to both its ends, so the writer before pv and the reader after it
// see the larger buffer too.
//
// Checked before anything else starts: no configuration, no Qt, no log. It
// grants nothing: PROGRAM runs as the caller, as the caller's shell would
// run it.
#pragma once

namespace PipeBuffer {

// The option that selects the helper; argv[1] of such a call.
inline constexpr const char *kOption = "--pipe-buffer";
// The size the transfer pipelines ask for (the system's default limit for
// a pipe, /proc/sys/fs/pipe-max-size).
inline constexpr int kBytes = 1 << 20;

// Whether `argv` is a helper call.
bool isCall(int argc, char **argv);
// Sets the buffers and executes PROGRAM; returns only when that fails
// (127, with the reason on standard error) or the call is malformed (64).
int run(int argc, char **argv);

} // namespace PipeBuffer
