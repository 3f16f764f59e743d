#include "simversion.h"

#include "simfiles.h"

#include <cstdlib>

namespace zsim {

namespace {

SimVersion &active()
{
    static SimVersion v;
    return v;
}

// Reads a decimal number at `pos`; false when there is none.
bool number(const std::string &s, size_t &pos, int &out)
{
    size_t start = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9')
        pos++;
    if (pos == start || pos - start > 4)
        return false;
    out = atoi(s.substr(start, pos - start).c_str());
    return true;
}

} // namespace

bool SimVersion::parse(const std::string &text, SimVersion &out)
{
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r' || s.back() == '\t'))
        s.pop_back();
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.erase(s.begin());
    if (s.rfind("zfs-", 0) == 0) {
        s = s.substr(4);
        size_t dash = s.find('-');
        if (dash != std::string::npos)
            s = s.substr(0, dash);
    }
    SimVersion v;
    size_t pos = 0;
    if (!number(s, pos, v.major) || pos >= s.size() || s[pos++] != '.' || !number(s, pos, v.minor))
        return false;
    v.patch = 0;
    if (pos < s.size() && (s[pos++] != '.' || !number(s, pos, v.patch)))
        return false;
    if (pos != s.size())
        return false;
    out = v;
    return true;
}

void SimVersion::load(const std::string &faultsDir)
{
    std::string text, error;
    SimVersion v;
    if (SimFiles::readAll(faultsDir + "/version", text, error))
        parse(text, v);
    active() = v;
}

const SimVersion &SimVersion::current()
{
    return active();
}

void SimVersion::setCurrent(const SimVersion &v)
{
    active() = v;
}

std::string SimVersion::text() const
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::string SimVersion::versionLines() const
{
    return "zfs-" + text() + "-1\nzfs-kmod-" + text() + "-1\n";
}

} // namespace zsim
