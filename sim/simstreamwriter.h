// Writes a send stream to a file descriptor through a large buffer, keeps
// the running Fletcher-4 sum of the current snapshot stream, and applies the
// send faults (a rate limit, a cut after N bytes). Not thread-safe.
#pragma once

#include "simfletcher.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zsim {

class SimStreamWriter {
public:
    // `rate` bytes/s (0: unlimited); `cutAfter` bytes (0: never);
    // `stallAfter` bytes (0: never): once that many bytes are out, the writer
    // stops moving data and sleeps until the process is killed.
    SimStreamWriter(int fd, uint64_t rate, uint64_t cutAfter, uint64_t stallAfter = 0);

    void startSum() { m_sum.reset(); m_summing = true; }
    // Stops summing and returns the digest of everything since startSum().
    std::string endSum();

    bool write(const std::string &bytes);
    // Appends `size` bytes of the file at `path`, from byte `offset` on.
    bool writeFile(const std::string &path, uint64_t size, uint64_t offset = 0);
    bool flush();

    uint64_t total() const { return m_total + m_used; }
    bool wasCut() const { return m_cut; }
    const std::string &error() const { return m_error; }
    // Called at most once a second while data is written, with the count of
    // bytes written so far.
    std::function<void(uint64_t)> progress;

private:
    bool drain(const char *data, size_t length);

    int m_fd;
    uint64_t m_rate, m_cutAfter, m_stallAfter;
    std::vector<char> m_buf;
    size_t m_used = 0;
    uint64_t m_total = 0;
    SimFletcher m_sum;
    bool m_summing = false;
    bool m_cut = false;
    std::string m_error;
    std::chrono::steady_clock::time_point m_start, m_lastProgress;
};

} // namespace zsim
