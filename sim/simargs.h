// Command-line option parsing with getopt's rules as zfs uses them: short
// options may be bundled ("-Hpo name"), an option's argument may be glued or
// the next word, options and operands may be mixed (GNU permutation), "--"
// ends the options, and long options ("--json-int", "--raw") are recognised.
#pragma once

#include <string>
#include <vector>

namespace zsim {

struct SimLongOpt {
    const char *name;
    int id;        // a short letter or a private number above 255
    bool hasArg;
};

class SimArgs {
public:
    struct Opt {
        int id;
        std::string arg;
    };

    explicit SimArgs(std::vector<std::string> words) : m_words(std::move(words)) {}

    // `optstring` lists the short letters, each followed by ':' when it takes an
    // argument. On failure `error` is zfs' message ("invalid option 'x'",
    // "missing argument for 'o' option"). Under a release without JSON output
    // (SimVersion) the letter 'j' and the "json..." long options are dropped.
    bool parse(const std::string &optstring, const std::vector<SimLongOpt> &longs, std::string &error);

    const std::vector<Opt> &options() const { return m_opts; }
    const std::vector<std::string> &operands() const { return m_operands; }

private:
    std::vector<std::string> m_words;
    std::vector<Opt> m_opts;
    std::vector<std::string> m_operands;
};

} // namespace zsim
