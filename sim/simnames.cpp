#include "simnames.h"

#include "simtext.h"

namespace zsim {

bool SimNames::validComponent(const std::string &c, std::string &reason)
{
    if (c.empty()) {
        reason = "empty component in name";
        return false;
    }
    for (char ch : c) {
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                  ch == '_' || ch == '-' || ch == ':' || ch == '.' || ch == ' ';
        if (!ok) {
            reason = std::string("invalid character '") + ch + "' in name";
            return false;
        }
    }
    return true;
}

bool SimNames::valid(const std::string &name, bool allowSnapshot, std::string &reason)
{
    if (name.empty()) {
        reason = "empty component in name";
        return false;
    }
    if (name.size() >= 256) {
        reason = "name is too long";
        return false;
    }
    size_t at = name.find('@');
    if (at != std::string::npos) {
        if (name.find('@', at + 1) != std::string::npos) {
            reason = "multiple '@' delimiters in name";
            return false;
        }
        if (!allowSnapshot) {
            reason = "snapshot delimiter '@' is not expected here";
            return false;
        }
        if (!validComponent(name.substr(at + 1), reason))
            return false;
    }
    const std::string fs = name.substr(0, at);
    if (!fs.empty() && fs.back() == '/') {
        reason = "trailing slash in name";
        return false;
    }
    if (!fs.empty() && fs[0] == '/') {
        reason = "leading slash in name";
        return false;
    }
    for (const auto &c : SimText::split(fs, '/'))
        if (!validComponent(c, reason))
            return false;
    return true;
}

std::string SimNames::snapOf(const std::string &name)
{
    size_t at = name.find('@');
    return at == std::string::npos ? std::string() : name.substr(at + 1);
}

std::string SimNames::parentOf(const std::string &name)
{
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

} // namespace zsim
