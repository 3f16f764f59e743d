// transfer_probe: watches one running process (the zfsrep service) from
// outside, through /proc only, while it runs a transfer, and prints what it
// saw when it is told to stop. Helper of bench/transfer_bench.sh.
//
// Every `--poll-ms` it looks for the process's direct children (the `zfs`
// queries and the `script` stages the service starts); every `--sample-ms`,
// and at every appearance and end of a child, it samples the process:
// utime/stime (its own CPU), cutime/cstime (the CPU of the children it has
// reaped, with everything those waited for: the whole pipeline of a stage),
// VmRSS, and the machine's busy/total CPU ticks from /proc/stat. Times are
// CLOCK_BOOTTIME seconds, the clock of the `starttime` field of
// /proc/PID/stat, so a child's start is exact to one clock tick (10 ms) and
// its end is known to within one poll.
//
// Usage: transfer_probe PID [--poll-ms 25] [--sample-ms 500] [--max-seconds 600]
// Runs until SIGTERM/SIGINT, until PID ends, or for at most --max-seconds.
// Output (stdout), one line each, fields separated by spaces:
//   child PID COMM START END REAPED CPU_BEFORE CPU_AFTER CHILDCPU_BEFORE CHILDCPU_AFTER
//         PEAK_RSS_KB BUSY_TICKS TOTAL_TICKS
//     for every child seen, in order of appearance; START from /proc, END the
//     first poll that found it a zombie or gone, REAPED the first poll that
//     found it gone; CPU_* the process's utime+stime and CHILDCPU_* its
//     cutime+cstime (seconds) at the child's appearance and after its
//     reaping; PEAK_RSS_KB the largest VmRSS sampled in between; BUSY/TOTAL
//     the machine's CPU ticks (all cores) in between.
//   wire PID FIRST_BYTE  for every `script` child: the first poll at which the
//                        run's ssh connection master (the newest process
//                        whose command line holds "ControlMaster=yes") had
//                        written more than 32 KiB to its connection since
//                        that child appeared, i.e. the stream's data was on
//                        the wire; "-" when never seen (no master, or the
//                        stream was shorter).
//   peak RSS_KB HWM_KB   the largest VmRSS sampled overall, and VmHWM at the end
//   samples N            how many samples were taken
//   probe SECONDS        the probe's own CPU time
// A child still running when the probe stops has END and REAPED "-".
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

double bootSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const double kTick = static_cast<double>(sysconf(_SC_CLK_TCK));

struct Stat {
    bool ok = false;
    std::string comm;
    char state = '?';
    long ppid = 0;
    double cpu = 0;      // utime + stime
    double childCpu = 0; // cutime + cstime
    double start = 0;    // starttime
};

// /proc/PID/stat, e.g.
//   4242 (script) S 4100 4242 4242 34817 ... utime stime cutime cstime ... starttime ...
// The command name may hold spaces and parentheses: it ends at the last ")".
Stat readStat(long pid)
{
    Stat s;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return s;
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return s;
    s.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::vector<std::string> f; // f[0] is field 3 (state)
    std::string word;
    while (rest >> word)
        f.push_back(word);
    if (f.size() < 20)
        return s;
    s.state = f[0].empty() ? '?' : f[0][0];
    s.ppid = std::atol(f[1].c_str());
    s.cpu = (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / kTick;      // fields 14, 15
    s.childCpu = (std::atof(f[13].c_str()) + std::atof(f[14].c_str())) / kTick; // fields 16, 17
    s.start = std::atof(f[19].c_str()) / kTick;                                  // field 22
    s.ok = true;
    return s;
}

// "VmRSS:     12345 kB" from /proc/PID/status; -1 when missing.
long statusKb(long pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

// First line of /proc/stat: "cpu  user nice system idle iowait irq softirq steal ..."
void machineTicks(unsigned long long &busy, unsigned long long &total)
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    busy = total = 0;
    for (int i = 0; i < 8; ++i) {
        unsigned long long v = 0;
        if (!(in >> v))
            break;
        total += v;
        if (i != 3 && i != 4) // idle, iowait
            busy += v;
    }
}

struct Sample {
    double t = 0;
    double cpu = 0;
    double childCpu = 0;
    long rssKb = 0;
    unsigned long long busy = 0;
    unsigned long long total = 0;
};

struct Child {
    long pid = 0;
    std::string comm;
    double start = 0;
    double end = -1;
    double reaped = -1;
    Sample before;
    Sample after;
    long peakRssKb = 0;
    // For a `script` stage: the master's wchar when it appeared, and when
    // the stream's data was first seen going out.
    bool masterLooked = false;
    long master = 0;
    long long masterWritten = -1;
    double firstByte = -1;
};

constexpr long long kStreamBytes = 32 * 1024; // more than a session's set-up writes

// "wchar: 12345" of /proc/PID/io: bytes the process wrote; -1 when unreadable.
long long writtenBytes(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = -1;
    while (in >> key >> value) {
        if (key == "wchar:")
            return value;
    }
    return -1;
}

// The newest process whose command line holds `text`, or 0.
long newestWith(const std::string &text)
{
    long found = 0;
    double newest = -1;
    DIR *dir = opendir("/proc");
    if (!dir)
        return 0;
    while (dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (line.find(text) == std::string::npos)
            continue;
        const Stat s = readStat(pid);
        if (s.ok && s.start > newest) {
            newest = s.start;
            found = pid;
        }
    }
    closedir(dir);
    return found;
}

// The process's children as the kernel lists them for each of its threads
// (/proc/PID/task/TID/children: "4242 4243 "), without reading every
// process of the machine; the scan of /proc below where that file is
// missing.
bool childrenFromTasks(long parent, std::vector<long> &found)
{
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir)
        return false;
    bool any = false;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/children");
        if (!in)
            continue;
        any = true;
        long pid = 0;
        while (in >> pid)
            found.push_back(pid);
    }
    closedir(dir);
    return any;
}

std::vector<long> childrenOf(long parent)
{
    std::vector<long> found;
    if (childrenFromTasks(parent, found))
        return found;
    found.clear();
    DIR *dir = opendir("/proc");
    if (!dir)
        return found;
    while (dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const Stat s = readStat(pid);
        if (s.ok && s.ppid == parent)
            found.push_back(pid);
    }
    closedir(dir);
    return found;
}

int optionValue(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::atol(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: transfer_probe PID [--poll-ms 25] [--sample-ms 500] [--max-seconds 600]\n");
        return 64;
    }
    const long target = std::atol(argv[1]);
    const int pollMs = std::max(5, optionValue(argc, argv, "--poll-ms", 25));
    const double sampleEvery = std::max(50, optionValue(argc, argv, "--sample-ms", 500)) / 1000.0;
    const double deadline = bootSeconds() + std::max(1, optionValue(argc, argv, "--max-seconds", 600));
    std::signal(SIGTERM, onStop);
    std::signal(SIGINT, onStop);

    long peakRss = 0;
    long samples = 0;
    std::vector<Child> children;
    std::map<long, size_t> running; // pid -> index in children, until reaped

    auto sample = [&]() {
        Sample s;
        s.t = bootSeconds();
        const Stat st = readStat(target);
        s.cpu = st.cpu;
        s.childCpu = st.childCpu;
        s.rssKb = statusKb(target, "VmRSS");
        machineTicks(s.busy, s.total);
        peakRss = std::max(peakRss, s.rssKb);
        for (auto &entry : running)
            children[entry.second].peakRssKb = std::max(children[entry.second].peakRssKb, s.rssKb);
        ++samples;
        return s;
    };

    double nextSample = 0;
    long hwm = -1;
    while (!stopRequested && bootSeconds() < deadline) {
        const Stat self = readStat(target);
        if (!self.ok || self.state == 'Z')
            break;
        hwm = statusKb(target, "VmHWM");
        for (long pid : childrenOf(target)) {
            if (running.count(pid))
                continue;
            const Stat s = readStat(pid);
            if (!s.ok || s.state == 'Z')
                continue; // started and ended between two polls: nothing to time
            Child c;
            c.pid = pid;
            c.comm = s.comm;
            std::replace(c.comm.begin(), c.comm.end(), ' ', '_'); // one word in the output
            c.start = s.start;
            running[pid] = children.size();
            children.push_back(c);
            children.back().before = sample();
        }
        for (auto it = running.begin(); it != running.end();) {
            Child &c = children[it->second];
            const Stat s = readStat(c.pid);
            const bool gone = !s.ok || s.ppid != target;
            if (!gone && s.state != 'Z') { // a child found between fork and exec still has the parent's name
                c.comm = s.comm;
                std::replace(c.comm.begin(), c.comm.end(), ' ', '_');
            }
            // The master's count is taken once the child is `script` (a
            // child found between fork and exec has the service's name).
            if (c.comm == "script" && !c.masterLooked) {
                c.masterLooked = true;
                c.master = newestWith("ControlMaster=yes");
                c.masterWritten = c.master ? writtenBytes(c.master) : -1;
            }
            if (c.firstByte < 0 && c.masterWritten >= 0 && writtenBytes(c.master) - c.masterWritten > kStreamBytes)
                c.firstByte = bootSeconds();
            if (c.end < 0 && (gone || s.state == 'Z'))
                c.end = bootSeconds();
            if (gone) {
                c.reaped = bootSeconds();
                c.after = sample();
                it = running.erase(it);
            } else {
                ++it;
            }
        }
        if (bootSeconds() >= nextSample) {
            sample();
            nextSample = bootSeconds() + sampleEvery;
        }
        usleep(static_cast<useconds_t>(pollMs) * 1000);
    }

    for (const Child &c : children) {
        if (c.reaped < 0) {
            std::printf("child %ld %s %.3f - - %.2f - %.2f - %ld 0 0\n", c.pid, c.comm.c_str(), c.start, c.before.cpu,
                        c.before.childCpu, c.peakRssKb);
            continue;
        }
        std::printf("child %ld %s %.3f %.3f %.3f %.2f %.2f %.2f %.2f %ld %llu %llu\n", c.pid, c.comm.c_str(), c.start,
                    c.end, c.reaped, c.before.cpu, c.after.cpu, c.before.childCpu, c.after.childCpu, c.peakRssKb,
                    c.after.busy - c.before.busy, c.after.total - c.before.total);
    }
    for (const Child &c : children) {
        if (c.comm != "script")
            continue;
        if (c.firstByte < 0)
            std::printf("wire %ld -\n", c.pid);
        else
            std::printf("wire %ld %.3f\n", c.pid, c.firstByte);
    }
    std::printf("peak %ld %ld\n", peakRss, hwm);
    std::printf("samples %ld\n", samples);
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    std::printf("probe %.2f\n", static_cast<double>(own.ru_utime.tv_sec + own.ru_stime.tv_sec)
                                   + static_cast<double>(own.ru_utime.tv_usec + own.ru_stime.tv_usec) / 1e6);
    return 0;
}
