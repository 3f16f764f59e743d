#include "simpartial.h"

#include "simfiles.h"
#include "simtext.h"

#include <cstdlib>

namespace zsim {

namespace {

std::string baseOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string line(const char *kind, const SimChange &c, uint64_t extra)
{
    std::vector<std::string> f = {kind,
                                  std::string(1, c.type),
                                  c.path,
                                  std::to_string(c.mode),
                                  std::to_string(c.mtime),
                                  std::to_string(c.size),
                                  c.target,
                                  c.staged.empty() ? "" : baseOf(c.staged),
                                  std::to_string(extra)};
    for (auto &field : f)
        field = SimText::escape(field);
    return SimText::join(f, "\t") + "\n";
}

} // namespace

bool SimPartialStore::save(const std::string &dir, const SimPartialData &data, std::string &error)
{
    std::string text;
    for (const auto &c : data.changes)
        text += line("change", c, 0);
    if (data.hasTail)
        text += line("tail", data.tail, data.tailBytes);
    return SimFiles::writeAtomic(dir + "/begin", data.begin, error) &&
           SimFiles::writeAtomic(dir + "/changes", text, error);
}

bool SimPartialStore::load(const std::string &dir, SimPartialData &data, std::string &error)
{
    data = SimPartialData();
    std::string text;
    if (!SimFiles::readAll(dir + "/begin", data.begin, error) || !SimFiles::readAll(dir + "/changes", text, error))
        return false;
    for (const auto &l : SimText::split(text, '\n')) {
        if (l.empty())
            continue;
        std::vector<std::string> f = SimText::split(l, '\t');
        if (f.size() < 9 || f[1].size() != 1) {
            error = "corrupt partial receive state in " + dir;
            return false;
        }
        for (auto &field : f)
            field = SimText::unescape(field);
        SimChange c;
        c.type = f[1][0];
        c.path = f[2];
        c.mode = (uint32_t)strtoul(f[3].c_str(), nullptr, 10);
        c.mtime = (int64_t)strtoll(f[4].c_str(), nullptr, 10);
        c.size = strtoull(f[5].c_str(), nullptr, 10);
        c.target = f[6];
        c.staged = f[7].empty() ? "" : dir + "/" + f[7];
        if (f[0] == "tail") {
            data.hasTail = true;
            data.tail = c;
            data.tailBytes = strtoull(f[8].c_str(), nullptr, 10);
        } else {
            data.changes.push_back(c);
        }
    }
    return true;
}

} // namespace zsim
