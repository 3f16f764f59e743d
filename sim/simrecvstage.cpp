#include "simrecvstage.h"

#include "simfiles.h"
#include "simstreamformat.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

SimRecvStage::SimRecvStage(SimStreamReader &in, std::string dir, uint64_t spaceLimit)
    : m_in(in), m_dir(std::move(dir)), m_spaceLimit(spaceLimit)
{
}

SimRecvStage::~SimRecvStage()
{
    std::string ignored;
    SimFiles::removeTree(m_dir, ignored);
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
    size_t fileCount = 0;
    while (true) {
        if (!m_in.read(header, F::kHeaderSize)) {
            reason = "incomplete stream";
            return false;
        }
        const uint32_t magic = F::getU32(header.data());
        const uint32_t type = F::getU32(header.data() + 4);
        const uint64_t length = F::getU64(header.data() + 8);
        if (magic != F::kMagic || type < F::Dir || type > F::End) {
            reason = "checksum mismatch";
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
        if (type == F::Free) {
            if (length > 65536 || !m_in.read(c.path, length)) {
                reason = length > 65536 ? "checksum mismatch" : "incomplete stream";
                return false;
            }
            c.type = 'x';
        } else {
            const size_t fixed = type == F::File ? 24 : 16;
            if (length < fixed || !m_in.read(payload, fixed)) {
                reason = length < fixed ? "checksum mismatch" : "incomplete stream";
                return false;
            }
            c.type = type == F::Dir ? 'd' : type == F::File ? 'f' : 'l';
            c.mode = F::getU32(payload.data()) & 07777;
            const uint32_t pathLength = F::getU32(payload.data() + 4);
            c.mtime = (int64_t)F::getU64(payload.data() + 8);
            c.size = type == F::File ? F::getU64(payload.data() + 16) : 0;
            const uint64_t rest = length - fixed;
            if (pathLength > 65536 || pathLength > rest ||
                (type == F::File && rest != pathLength + c.size) ||
                (type == F::Dir && rest != pathLength) || (type == F::Symlink && rest - pathLength > 65536)) {
                reason = "checksum mismatch";
                return false;
            }
            if (!m_in.read(c.path, pathLength) ||
                (type == F::Symlink && !m_in.read(c.target, rest - pathLength))) {
                reason = "incomplete stream";
                return false;
            }
            if (type == F::File) {
                m_dataBytes += c.size;
                if (keep && m_spaceLimit > 0 && m_dataBytes > m_spaceLimit) {
                    reason = "out of space";
                    return false;
                }
                int fd = -1;
                if (keep) {
                    c.staged = m_dir + "/f" + std::to_string(fileCount++);
                    fd = open(c.staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                    if (fd < 0) {
                        reason = SimFiles::errnoText(errno);
                        return false;
                    }
                }
                const bool copied = m_in.copy(fd, c.size);
                if (fd >= 0)
                    close(fd);
                if (!copied) {
                    reason = m_in.error().empty() ? "incomplete stream" : m_in.error();
                    return false;
                }
            }
        }
        if (!F::safePath(c.path)) {
            reason = "invalid stream (bad path in stream)";
            return false;
        }
        if (keep)
            m_changes.push_back(c);
    }
}

} // namespace zsim
