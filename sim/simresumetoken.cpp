#include "simresumetoken.h"

#include "simfletcher.h"
#include "simtext.h"

#include <cstdio>
#include <map>

namespace zsim {

namespace {

std::string hex(uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

uint64_t checksum(const std::string &payload)
{
    SimFletcher f;
    f.update(payload.data(), payload.size());
    const std::string d = f.digest();
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | (unsigned char)d[(size_t)i];
    return v;
}

bool parseHex(const std::string &text, uint64_t &v)
{
    if (text.empty() || text.size() > 16)
        return false;
    v = 0;
    for (char c : text) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return false;
        v = v << 4 | (uint64_t)d;
    }
    return true;
}

} // namespace

std::string SimResumeToken::encode() const
{
    std::string payload;
    if (fromguid)
        payload += "fromguid=" + std::to_string(fromguid) + "\n";
    payload += "object=" + std::to_string(object) + "\n";
    payload += "offset=" + std::to_string(offset) + "\n";
    payload += "bytes=" + std::to_string(bytes) + "\n";
    payload += "toguid=" + std::to_string(toguid) + "\n";
    payload += "toname=" + toname + "\n";
    if (rawok)
        payload += "rawok=1\n";
    std::string body;
    static const char digits[] = "0123456789abcdef";
    for (unsigned char c : payload) {
        body += digits[c >> 4];
        body += digits[c & 15];
    }
    return "1-" + hex(checksum(payload)) + "-" + hex(payload.size()) + "-" + body;
}

bool SimResumeToken::decode(const std::string &text, std::string &reason)
{
    const std::vector<std::string> parts = SimText::split(text, '-');
    uint64_t sum = 0, length = 0;
    if (parts.size() != 4 || !parseHex(parts[1], sum) || !parseHex(parts[2], length)) {
        reason = "resume token is corrupt (invalid format)";
        return false;
    }
    if (parts[0] != "1") {
        reason = "resume token is corrupt (invalid version)";
        return false;
    }
    const std::string &body = parts[3];
    std::string payload;
    for (size_t i = 0; i < body.size(); i += 2) {
        uint64_t byte = 0;
        if (i + 1 >= body.size() || !parseHex(body.substr(i, 2), byte)) {
            reason = "resume token is corrupt (payload is not hex-encoded)";
            return false;
        }
        payload += (char)byte;
    }
    if (payload.size() != length || checksum(payload) != sum) {
        reason = "resume token is corrupt (incorrect checksum)";
        return false;
    }
    std::map<std::string, std::string> fields;
    for (const auto &line : SimText::split(payload, '\n')) {
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            reason = "resume token is corrupt (nvlist_unpack failed)";
            return false;
        }
        fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    *this = SimResumeToken();
    const bool whole = fields.count("toname") && !fields["toname"].empty() &&
                       SimText::toU64(fields["object"], object) && SimText::toU64(fields["offset"], offset) &&
                       SimText::toU64(fields["bytes"], bytes) && SimText::toU64(fields["toguid"], toguid) &&
                       (!fields.count("fromguid") || SimText::toU64(fields["fromguid"], fromguid));
    if (!whole) {
        reason = "resume token is corrupt";
        return false;
    }
    toname = fields["toname"];
    rawok = fields.count("rawok") > 0;
    return true;
}

std::string SimResumeToken::contents() const
{
    std::string out = "resume token contents:\nnvlist version: 0\n";
    if (fromguid)
        out += "\tfromguid = 0x" + hex(fromguid) + "\n";
    out += "\tobject = 0x" + hex(object) + "\n";
    out += "\toffset = 0x" + hex(offset) + "\n";
    out += "\tbytes = 0x" + hex(bytes) + "\n";
    out += "\ttoguid = 0x" + hex(toguid) + "\n";
    out += "\ttoname = " + toname + "\n";
    if (rawok)
        out += "\trawok\n";
    return out;
}

} // namespace zsim
