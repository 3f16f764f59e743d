#include "simstreamreader.h"

#include "simfiles.h"
#include "simstall.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace zsim {

namespace {

volatile sig_atomic_t g_stopped = 0;

void onStopSignal(int)
{
    g_stopped = 1;
}

} // namespace

void SimStreamReader::stopOnSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked read returns EINTR
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

SimStreamReader::SimStreamReader(int fd, uint64_t rate, uint64_t stallAfter)
    : m_fd(fd), m_rate(rate), m_stallAfter(stallAfter), m_buf(4 << 20), m_start(std::chrono::steady_clock::now())
{
    fcntl(fd, F_SETPIPE_SZ, 1 << 20); // see SimStreamWriter
}

std::string SimStreamReader::endSum()
{
    m_summing = false;
    return m_sum.digest();
}

bool SimStreamReader::fill()
{
    if (m_pos < m_end)
        return true;
    if (m_eof)
        return false;
    if (g_stopped) {
        m_error = SimFiles::errnoText(EINTR);
        m_eof = true;
        return false;
    }
    m_pos = m_end = 0;
    size_t want = m_buf.size();
    if (m_rate > 0)
        want = std::min<size_t>(want, std::max<uint64_t>(m_rate / 20, 4096));
    if (m_stallAfter > 0) {
        if (m_read >= m_stallAfter)
            SimStall::forever();
        want = (size_t)std::min<uint64_t>(want, m_stallAfter - m_read);
    }
    while (true) {
        ssize_t n = ::read(m_fd, m_buf.data(), want);
        if (n < 0 && errno == EINTR && !g_stopped)
            continue;
        if (n < 0 && errno == EINTR) {
            m_error = SimFiles::errnoText(EINTR);
            m_eof = true;
            return false;
        }
        if (n < 0) {
            m_error = SimFiles::errnoText(errno);
            m_eof = true;
            return false;
        }
        if (n == 0) {
            m_eof = true;
            return false;
        }
        m_end = (size_t)n;
        m_read += (uint64_t)n;
        break;
    }
    if (m_rate > 0) {
        auto due = m_start + std::chrono::microseconds((int64_t)(m_read * 1000000.0 / (double)m_rate));
        std::this_thread::sleep_until(due);
    }
    return true;
}

void SimStreamReader::take(const char *data, size_t length)
{
    if (m_summing)
        m_sum.update(data, length);
    m_consumed += length;
}

bool SimStreamReader::read(std::string &out, size_t length)
{
    out.clear();
    out.reserve(std::min<size_t>(length, 1 << 20));
    while (out.size() < length) {
        if (!fill())
            return false;
        size_t n = std::min(length - out.size(), m_end - m_pos);
        out.append(m_buf.data() + m_pos, n);
        take(m_buf.data() + m_pos, n);
        m_pos += n;
    }
    return true;
}

bool SimStreamReader::copy(int fd, uint64_t length)
{
    while (length > 0) {
        if (!fill())
            return false;
        size_t n = (size_t)std::min<uint64_t>(length, m_end - m_pos);
        const char *p = m_buf.data() + m_pos;
        if (fd >= 0) {
            size_t done = 0;
            while (done < n) {
                ssize_t w = ::write(fd, p + done, n - done);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0) {
                    m_error = SimFiles::errnoText(errno);
                    return false;
                }
                done += (size_t)w;
            }
        }
        take(p, n);
        m_pos += n;
        length -= n;
    }
    return true;
}

bool SimStreamReader::atEnd()
{
    return !fill();
}

} // namespace zsim
