#include "simrecvstage.h"

#include "simfiles.h"
#include "simstreamformat.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

namespace {

uint64_t sizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

} // namespace

SimRecvStage::SimRecvStage(SimStreamReader &in, std::string dir, uint64_t spaceLimit,
                           const SimPartialData *prior)
    : m_in(in), m_dir(std::move(dir)), m_spaceLimit(spaceLimit)
{
    if (!prior)
        return;
    m_changes = prior->changes;
    m_hasTail = prior->hasTail;
    m_tail = prior->tail;
    for (const auto &c : m_changes)
        if (c.type == 'f')
            m_dataBytes += c.size;
    if (m_hasTail)
        m_dataBytes += prior->tailBytes;
    // New staged files must not overwrite the ones kept so far.
    auto after = [this](const std::string &staged) {
        const size_t slash = staged.rfind('/');
        if (staged.compare(slash + 1, 1, "f") == 0)
            m_fileCount = std::max<size_t>(m_fileCount, strtoull(staged.c_str() + slash + 2, nullptr, 10) + 1);
    };
    for (const auto &c : m_changes)
        if (!c.staged.empty())
            after(c.staged);
    if (m_hasTail)
        after(m_tail.staged);
}

SimRecvStage::~SimRecvStage()
{
    if (m_keepDir)
        return;
    std::string ignored;
    SimFiles::removeTree(m_dir, ignored);
}

SimPartialData SimRecvStage::partial() const
{
    SimPartialData p;
    p.changes = m_changes;
    p.hasTail = m_hasTail;
    if (m_hasTail) {
        p.tail = m_tail;
        p.tailBytes = sizeOf(m_tail.staged);
    }
    return p;
}

bool SimRecvStage::moveTo(const std::string &to, std::string &error)
{
    const size_t slash = to.rfind('/');
    if (slash != std::string::npos && !SimFiles::makeDirs(to.substr(0, slash), error))
        return false;
    if (rename(m_dir.c_str(), to.c_str()) != 0) {
        error = to + ": " + SimFiles::errnoText(errno);
        return false;
    }
    auto moved = [&](std::string &staged) {
        if (!staged.empty() && staged.compare(0, m_dir.size(), m_dir) == 0)
            staged = to + staged.substr(m_dir.size());
    };
    for (auto &c : m_changes)
        moved(c.staged);
    moved(m_tail.staged);
    m_dir = to;
    return true;
}

bool SimRecvStage::read(bool keep, std::string &reason)
{
    using F = SimStreamFormat;
    std::string error;
    if (keep && !SimFiles::makeDirs(m_dir, error)) {
        reason = error;
        return false;
    }
    std::string header, payload;
    while (true) {
        if (!m_in.read(header, F::kHeaderSize)) {
            reason = "incomplete stream";
            return false;
        }
        const uint32_t magic = F::getU32(header.data());
        const uint32_t type = F::getU32(header.data() + 4);
        const uint64_t length = F::getU64(header.data() + 8);
        if (magic != F::kMagic || type < F::Dir || (type > F::End && type != F::FileTail)) {
            reason = "checksum mismatch";
            return false;
        }
        if (m_hasTail && type != F::FileTail) {
            // An interrupted file must be completed first.
            reason = "invalid stream (resumed at the wrong place)";
            return false;
        }
        if (type == F::End) {
            const std::string expected = m_in.endSum();
            if (length != F::kDigestSize || !m_in.read(payload, F::kDigestSize)) {
                reason = length != F::kDigestSize ? "checksum mismatch" : "incomplete stream";
                return false;
            }
            if (payload != expected) {
                reason = "checksum mismatch";
                return false;
            }
            return true;
        }
        SimChange c;
        uint64_t offset = 0;
        if (type == F::Free) {
            if (length > 65536 || !m_in.read(c.path, length)) {
                reason = length > 65536 ? "checksum mismatch" : "incomplete stream";
                return false;
            }
            c.type = 'x';
        } else {
            const size_t fixed = type == F::FileTail ? 32 : type == F::File ? 24 : 16;
            if (length < fixed || !m_in.read(payload, fixed)) {
                reason = length < fixed ? "checksum mismatch" : "incomplete stream";
                return false;
            }
            c.type = type == F::Dir ? 'd' : type == F::Symlink ? 'l' : 'f';
            c.mode = F::getU32(payload.data()) & 07777;
            const uint32_t pathLength = F::getU32(payload.data() + 4);
            c.mtime = (int64_t)F::getU64(payload.data() + 8);
            c.size = c.type == 'f' ? F::getU64(payload.data() + 16) : 0;
            offset = type == F::FileTail ? F::getU64(payload.data() + 24) : 0;
            const uint64_t rest = length - fixed;
            if (pathLength > 65536 || pathLength > rest || offset > c.size ||
                (c.type == 'f' && rest != pathLength + (c.size - offset)) ||
                (type == F::Dir && rest != pathLength) || (type == F::Symlink && rest - pathLength > 65536)) {
                reason = "checksum mismatch";
                return false;
            }
            if (!m_in.read(c.path, pathLength) ||
                (type == F::Symlink && !m_in.read(c.target, rest - pathLength))) {
                reason = "incomplete stream";
                return false;
            }
            if (type == F::FileTail &&
                (!m_hasTail || c.path != m_tail.path || c.size != m_tail.size || offset != sizeOf(m_tail.staged))) {
                reason = "invalid stream (resumed at the wrong place)";
                return false;
            }
            if (c.type == 'f') {
                m_dataBytes += c.size - offset;
                if (keep && m_spaceLimit > 0 && m_dataBytes > m_spaceLimit) {
                    reason = "out of space";
                    return false;
                }
                int fd = -1;
                if (keep) {
                    c.staged = type == F::FileTail ? m_tail.staged : m_dir + "/f" + std::to_string(m_fileCount++);
                    const int flags = type == F::FileTail ? O_WRONLY | O_APPEND | O_CLOEXEC
                                                          : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
                    fd = open(c.staged.c_str(), flags, 0600);
                    if (fd < 0) {
                        reason = SimFiles::errnoText(errno);
                        return false;
                    }
                    m_hasTail = true;
                    m_tail = c;
                }
                const bool copied = m_in.copy(fd, c.size - offset);
                if (fd >= 0)
                    close(fd);
                if (!copied) {
                    reason = m_in.error().empty() ? "incomplete stream" : m_in.error();
                    return false;
                }
                m_hasTail = false;
            }
        }
        if (!F::safePath(c.path)) {
            m_hasTail = false;
            reason = "invalid stream (bad path in stream)";
            return false;
        }
        if (keep)
            m_changes.push_back(c);
    }
}

} // namespace zsim
