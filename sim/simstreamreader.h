// Reads a send stream from a file descriptor through a large buffer, keeps
// the running Fletcher-4 sum of the current snapshot stream, and applies the
// receive rate limit. Not thread-safe.
#pragma once

#include "simfletcher.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

class SimStreamReader {
public:
    // `rate` bytes/s (0: unlimited); `stallAfter` bytes (0: never): once that
    // many bytes are in, the reader stops reading and sleeps until the
    // process is killed (the writer then blocks on a full pipe).
    SimStreamReader(int fd, uint64_t rate, uint64_t stallAfter = 0);

    void startSum() { m_sum.reset(); m_summing = true; }
    std::string endSum();

    // Reads exactly `length` bytes; false at end of input or on an error.
    bool read(std::string &out, size_t length);
    // Copies `length` bytes into `fd`, or skips them when `fd` is negative.
    bool copy(int fd, uint64_t length);
    // True when no byte at all is left (clean end of input).
    bool atEnd();

    uint64_t consumed() const { return m_consumed; }

    // From now on SIGTERM, SIGINT and SIGHUP end the input instead of the
    // process: a read in progress returns as at a cut, so the receive can
    // keep its partial state (as the kernel does when zfs recv is killed).
    static void stopOnSignals();
    const std::string &error() const { return m_error; }

private:
    bool fill();
    void take(const char *data, size_t length);

    int m_fd;
    uint64_t m_rate, m_stallAfter;
    std::vector<char> m_buf;
    size_t m_pos = 0, m_end = 0;
    uint64_t m_consumed = 0, m_read = 0;
    bool m_eof = false;
    SimFletcher m_sum;
    bool m_summing = false;
    std::string m_error;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace zsim
