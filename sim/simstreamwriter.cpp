#include "simstreamwriter.h"

#include "simfiles.h"
#include "simstall.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace zsim {

SimStreamWriter::SimStreamWriter(int fd, uint64_t rate, uint64_t cutAfter, uint64_t stallAfter)
    : m_fd(fd), m_rate(rate), m_cutAfter(cutAfter), m_stallAfter(stallAfter), m_buf(4 << 20),
      m_start(std::chrono::steady_clock::now()), m_lastProgress(m_start)
{
    // Larger pipe buffers mean fewer context switches between the stages
    // of a pipeline; a descriptor that is no pipe refuses this harmlessly.
    fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

std::string SimStreamWriter::endSum()
{
    m_summing = false;
    return m_sum.digest();
}

bool SimStreamWriter::write(const std::string &bytes)
{
    if (m_summing)
        m_sum.update(bytes.data(), bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        if (m_used == m_buf.size() && !flush())
            return false;
        size_t n = std::min(bytes.size() - done, m_buf.size() - m_used);
        memcpy(m_buf.data() + m_used, bytes.data() + done, n);
        m_used += n;
        done += n;
    }
    return true;
}

bool SimStreamWriter::writeFile(const std::string &path, uint64_t size, uint64_t offset)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && offset > 0 && lseek(fd, (off_t)offset, SEEK_SET) < 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        m_error = path + ": " + SimFiles::errnoText(errno);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t left = size;
    bool ok = true;
    while (left > 0) {
        if (m_used == m_buf.size() && !flush()) {
            ok = false;
            break;
        }
        size_t room = (size_t)std::min<uint64_t>(left, m_buf.size() - m_used);
        ssize_t n = read(fd, m_buf.data() + m_used, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = path + ": " + (n < 0 ? SimFiles::errnoText(errno) : std::string("file changed size"));
            ok = false;
            break;
        }
        if (m_summing)
            m_sum.update(m_buf.data() + m_used, (size_t)n);
        m_used += (size_t)n;
        left -= (uint64_t)n;
    }
    close(fd);
    return ok;
}

bool SimStreamWriter::flush()
{
    bool ok = drain(m_buf.data(), m_used);
    m_used = 0;
    return ok;
}

bool SimStreamWriter::drain(const char *data, size_t length)
{
    using namespace std::chrono;
    size_t done = 0;
    while (done < length) {
        size_t chunk = length - done;
        if (m_rate > 0)
            chunk = std::min<size_t>(chunk, std::max<uint64_t>(m_rate / 20, 4096));
        if (m_cutAfter > 0) {
            if (m_total >= m_cutAfter) {
                m_cut = true;
                m_error = "stream cut after " + std::to_string(m_cutAfter) + " bytes";
                return false;
            }
            chunk = (size_t)std::min<uint64_t>(chunk, m_cutAfter - m_total);
        }
        if (m_stallAfter > 0) {
            if (m_total >= m_stallAfter)
                SimStall::forever();
            chunk = (size_t)std::min<uint64_t>(chunk, m_stallAfter - m_total);
        }
        ssize_t n = ::write(m_fd, data + done, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = SimFiles::errnoText(errno);
            return false;
        }
        done += (size_t)n;
        m_total += (uint64_t)n;
        auto now = steady_clock::now();
        if (m_rate > 0) {
            auto due = m_start + microseconds((int64_t)(m_total * 1000000.0 / (double)m_rate));
            if (due > now)
                std::this_thread::sleep_until(due);
            now = steady_clock::now();
        }
        if (progress && now - m_lastProgress >= seconds(1)) {
            m_lastProgress = now;
            progress(m_total);
        }
    }
    return true;
}

} // namespace zsim
