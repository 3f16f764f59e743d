#include "simargs.h"

#include "simversion.h"

namespace zsim {

bool SimArgs::parse(const std::string &givenOptstring, const std::vector<SimLongOpt> &givenLongs,
                    std::string &error)
{
    // Releases before 2.3 have no JSON output: -j is an unknown letter there.
    std::string optstring = givenOptstring;
    std::vector<SimLongOpt> longs;
    const bool json = SimVersion::current().hasJson();
    for (const auto &l : givenLongs)
        if (json || std::string(l.name).rfind("json", 0) != 0)
            longs.push_back(l);
    if (!json) {
        const size_t j = optstring.find('j');
        if (j != std::string::npos)
            optstring.erase(j, 1);
    }
    m_opts.clear();
    m_operands.clear();
    for (size_t i = 0; i < m_words.size(); i++) {
        const std::string &w = m_words[i];
        if (w == "--") {
            m_operands.insert(m_operands.end(), m_words.begin() + (long)i + 1, m_words.end());
            break;
        }
        if (w.size() > 2 && w[0] == '-' && w[1] == '-') {
            std::string name = w.substr(2), value;
            size_t eq = name.find('=');
            bool hasValue = eq != std::string::npos;
            if (hasValue) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            const SimLongOpt *found = nullptr;
            for (const auto &l : longs)
                if (name == l.name)
                    found = &l;
            if (!found) {
                // Releases without JSON parsed these commands with plain
                // getopt(3), which reads "--json" as the letter '-'.
                const bool legacy = !json && name.rfind("json", 0) == 0;
                error = legacy ? "invalid option '-'" : "unrecognized option '" + w + "'";
                return false;
            }
            if (found->hasArg && !hasValue) {
                if (i + 1 >= m_words.size()) {
                    error = "option '--" + name + "' requires an argument";
                    return false;
                }
                value = m_words[++i];
            }
            m_opts.push_back({found->id, value});
            continue;
        }
        if (w.size() < 2 || w[0] != '-') {
            m_operands.push_back(w);
            continue;
        }
        for (size_t k = 1; k < w.size(); k++) {
            char c = w[k];
            size_t p = optstring.find(c);
            if (c == ':' || p == std::string::npos) {
                error = std::string("invalid option '") + c + "'";
                return false;
            }
            bool needsArg = p + 1 < optstring.size() && optstring[p + 1] == ':';
            if (!needsArg) {
                m_opts.push_back({c, std::string()});
                continue;
            }
            if (k + 1 < w.size()) {
                m_opts.push_back({c, w.substr(k + 1)});
            } else if (i + 1 < m_words.size()) {
                m_opts.push_back({c, m_words[++i]});
            } else {
                error = std::string("missing argument for '") + c + "' option";
                return false;
            }
            break;
        }
    }
    return true;
}

} // namespace zsim
