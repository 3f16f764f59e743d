#include "simstreamformat.h"

#include "simtext.h"

#include <cstring>

namespace zsim {

std::string SimStreamFormat::encodeLines(const Lines &lines)
{
    std::string out;
    for (const auto &line : lines) {
        for (size_t i = 0; i < line.size(); i++) {
            if (i)
                out += '\t';
            out += SimText::escape(line[i]);
        }
        out += '\n';
    }
    return out;
}

SimStreamFormat::Lines SimStreamFormat::decodeLines(const std::string &text)
{
    Lines lines;
    for (const auto &line : SimText::split(text, '\n')) {
        if (line.empty())
            continue;
        std::vector<std::string> fields = SimText::split(line, '\t');
        for (auto &f : fields)
            f = SimText::unescape(f);
        lines.push_back(fields);
    }
    return lines;
}

std::string SimStreamFormat::field(const Lines &lines, const std::string &key)
{
    for (const auto &l : lines)
        if (!l.empty() && l[0] == key)
            return l.size() > 1 ? l[1] : std::string();
    return std::string();
}

void SimStreamFormat::putU32(std::string &out, uint32_t v)
{
    char b[4];
    memcpy(b, &v, 4);
    out.append(b, 4);
}

void SimStreamFormat::putU64(std::string &out, uint64_t v)
{
    char b[8];
    memcpy(b, &v, 8);
    out.append(b, 8);
}

uint32_t SimStreamFormat::getU32(const char *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

uint64_t SimStreamFormat::getU64(const char *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

std::string SimStreamFormat::header(uint32_t type, uint64_t length)
{
    std::string h;
    putU32(h, kMagic);
    putU32(h, type);
    putU64(h, length);
    return h;
}

std::string SimStreamFormat::entryMeta(char type, uint32_t mode, int64_t mtime, uint64_t size,
                                       const std::string &path, const std::string &target)
{
    std::string m;
    putU32(m, mode);
    putU32(m, (uint32_t)path.size());
    putU64(m, (uint64_t)mtime);
    if (type == 'f')
        putU64(m, size);
    m += path;
    if (type == 'l')
        m += target;
    return m;
}

std::string SimStreamFormat::tailMeta(uint32_t mode, int64_t mtime, uint64_t size, uint64_t offset,
                                      const std::string &path)
{
    std::string m = header(FileTail, tailLength(size, offset, path));
    putU32(m, mode);
    putU32(m, (uint32_t)path.size());
    putU64(m, (uint64_t)mtime);
    putU64(m, size);
    putU64(m, offset);
    return m + path;
}

uint64_t SimStreamFormat::entryLength(char type, uint64_t size, const std::string &path, const std::string &target)
{
    switch (type) {
    case 'f': return 24 + path.size() + size;
    case 'l': return 16 + path.size() + target.size();
    case 'd': return 16 + path.size();
    default: return path.size(); // FREE
    }
}

bool SimStreamFormat::safePath(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return false;
    for (const auto &c : SimText::split(path, '/'))
        if (c.empty() || c == "." || c == "..")
            return false;
    return path.find('\0') == std::string::npos;
}

} // namespace zsim
