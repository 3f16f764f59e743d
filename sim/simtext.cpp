#include "simtext.h"

#include <cmath>
#include <cstdio>

namespace zsim {

std::string SimText::niceNum(uint64_t num, bool bytesSuffix)
{
    // Same algorithm as libzfs' zfs_nicenum_format(): divide down to the
    // largest unit, print exact multiples without decimals, otherwise try
    // two, one and zero decimals until the text fits in five characters.
    static const char *unitsBytes[] = {"B", "K", "M", "G", "T", "P", "E"};
    static const char *unitsPlain[] = {"", "K", "M", "G", "T", "P", "E"};
    const char **units = bytesSuffix ? unitsBytes : unitsPlain;
    uint64_t n = num;
    int index = 0;
    while (n >= 1024 && index < 6) {
        n /= 1024;
        index++;
    }
    char buf[64];
    const long double divisor = powl(1024.0L, index);
    if (index == 0 || num % (uint64_t)divisor == 0) {
        snprintf(buf, sizeof buf, "%llu%s", (unsigned long long)n, units[index]);
        return buf;
    }
    for (int i = 2; i >= 0; i--) {
        double val = (double)num / (double)(uint64_t)divisor;
        if (snprintf(buf, sizeof buf, "%.*f%s", i, val, units[index]) <= 5)
            break;
    }
    return buf;
}

std::string SimText::date(int64_t epoch, const char *format)
{
    time_t t = (time_t)epoch;
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[128];
    size_t n = strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

std::string SimText::creationDate(int64_t epoch) { return date(epoch, "%a %b %e %k:%M %Y"); }

std::string SimText::holdDate(int64_t epoch) { return date(epoch, "%a %b %e %H:%M %Y"); }

std::string SimText::escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::string SimText::unescape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            switch (n) {
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            default: out += n;
            }
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> SimText::split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t pos = text.find(sep, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string SimText::join(const std::vector<std::string> &parts, const std::string &sep)
{
    std::string out;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i)
            out += sep;
        out += parts[i];
    }
    return out;
}

bool SimText::isDigits(const std::string &text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool SimText::toU64(const std::string &text, uint64_t &value)
{
    if (!isDigits(text) || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        uint64_t d = (uint64_t)(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool SimText::parseSize(const std::string &text, uint64_t &value)
{
    if (text.empty())
        return false;
    size_t i = 0;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.'))
        i++;
    if (i == 0)
        return false;
    std::string number = text.substr(0, i);
    std::string unit = upper(text.substr(i));
    if (!unit.empty() && unit.back() == 'B')
        unit.pop_back();
    if (unit.size() > 1)
        return false;
    int shift = 0;
    if (!unit.empty()) {
        static const std::string order = "KMGTPE";
        size_t p = order.find(unit[0]);
        if (p == std::string::npos)
            return false;
        shift = 10 * (int)(p + 1);
    }
    char *end = nullptr;
    long double n = strtold(number.c_str(), &end);
    if (!end || *end != '\0' || n < 0)
        return false;
    long double bytes = n * powl(2.0L, shift);
    if (bytes >= 18446744073709551615.0L)
        return false;
    value = (uint64_t)bytes;
    return true;
}

std::string SimText::upper(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return out;
}

bool SimText::startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace zsim
