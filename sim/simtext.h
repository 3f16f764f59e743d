// Text helpers of the zfs/zpool simulator: the number and date renderings the
// real tools print, the escaping of the simulator's own state files, and small
// parsing helpers. Everything here is pure and reentrant.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zsim {

class SimText {
public:
    // Human-readable size as `zfs list` prints it (1024-based, at most five
    // characters where possible): 0 -> "0B", 512 -> "512B", 12288 -> "12K",
    // 1146880 -> "1.09M". `bytesSuffix` false gives the `zpool list` form
    // without the "B" for values under 1024 ("0", "512").
    static std::string niceNum(uint64_t value, bool bytesSuffix = true);

    // strftime() in local time.
    static std::string date(int64_t epoch, const char *format);
    // `zfs get creation` form, e.g. "Thu Dec  7 19:30 2023".
    static std::string creationDate(int64_t epoch);
    // `zfs holds` form, e.g. "Thu Dec  7 19:30 2023".
    static std::string holdDate(int64_t epoch);

    // State files keep one record per line with tab-separated fields; these
    // two make any text safe for that (backslash, tab, newline, CR escaped).
    static std::string escape(const std::string &text);
    static std::string unescape(const std::string &text);
    static std::vector<std::string> split(const std::string &text, char sep);
    static std::string join(const std::vector<std::string> &parts, const std::string &sep);

    static bool isDigits(const std::string &text);
    // Base-10 unsigned number; false when the text is empty, has other
    // characters or overflows.
    static bool toU64(const std::string &text, uint64_t &value);
    // "4G", "512M", "100k", "1.5T", "1048576" -> bytes (1024-based).
    static bool parseSize(const std::string &text, uint64_t &value);

    static std::string upper(const std::string &text);
    static bool startsWith(const std::string &text, const std::string &prefix);
};

} // namespace zsim
