#include "simfaults.h"

#include "simfiles.h"
#include "simtext.h"

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace zsim {

bool SimFaults::present(const std::string &name, std::string &text) const
{
    std::string error;
    return SimFiles::readAll(m_dir + "/" + name, text, error);
}

bool SimFaults::takeOnce(const std::string &name, std::string &text) const
{
    const std::string path = m_dir + "/" + name;
    if (!SimFiles::exists(path))
        return false;
    const std::string claimed = m_dir + "/.claimed-" + std::to_string(getpid()) + "-" + name;
    if (rename(path.c_str(), claimed.c_str()) != 0)
        return false; // another process was first
    std::string error;
    SimFiles::readAll(claimed, text, error);
    unlink(claimed.c_str());
    return true;
}

uint64_t SimFaults::number(const std::string &name) const
{
    std::string text;
    if (!present(name, text))
        return 0;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    uint64_t v = 0;
    return SimText::parseSize(text, v) ? v : 0;
}

bool SimFaults::commandFails(const std::string &cmd, std::string &message) const
{
    if (uint64_t ms = number("delay-" + cmd))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (uint64_t bytes = number("flood-" + cmd)) {
        // A reader that stops listening ends the flood (SIGPIPE or EPIPE).
        const std::string line(1023, 'x');
        for (uint64_t written = 0; written < bytes; written += 1024) {
            if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF)
                break;
        }
        std::fflush(stdout);
        std::exit(0);
    }
    std::string text;
    if (!takeOnce("fail-next-" + cmd, text) && !present("fail-" + cmd, text))
        return false;
    if (text.empty())
        text = "internal error: simulated failure of '" + cmd + "'";
    if (text.back() != '\n')
        text += '\n';
    message = text;
    return true;
}

} // namespace zsim
