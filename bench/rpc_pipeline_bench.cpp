// rpc_pipeline_bench: what pipelined and large requests cost the local RPC
// server (TQ2LocalServer, root router only, in a child process on a socket
// in a temporary directory).
//
// 1. CPU per burst of keep-alives: one connection writes N bytes of 4-byte
//    keep-alives followed by one help_interfaces request and waits for the
//    answer; the server process's CPU time (the sum of its threads'
//    /proc/PID/task/TID/schedstat, nanoseconds) is read before and after.
//    N = 256 KiB, 1 MiB and 4 MiB; min and median of 5 rounds each, and the
//    1 MiB / 256 KiB ratio (linear reading: about 4).
// 2. Resident memory after large requests: 48 connections, one after the
//    other, each send one request of just under 4 MiB (the default
//    maxrequestbytes) and read its answer, then stay open and idle. VmRSS is
//    read before, with the 48 idle connections open, and after they close;
//    VmHWM is the peak.
//
// Usage: rpc_pipeline_bench [rounds, default 5]
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int connectTo(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (int done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += int(n);
    }
    return true;
}

// Reads until one non-keep-alive answer is complete.
bool readAnswer(int fd)
{
    QByteArray buffer;
    char chunk[65536];
    for (;;) {
        TQ2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == TQ2RpcPacket::Complete && !packet.isKeepAlive())
            return packet.object.value("err").toInt(-1) == 0;
        if (result == TQ2RpcPacket::Invalid)
            return false;
        if (result == TQ2RpcPacket::Incomplete) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer.append(chunk, int(n));
        }
    }
}

pid_t spawnServer(const std::string &path)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        int argc = 1;
        char name[] = "rpc_pipeline_bench-server";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        TQ2LocalServer server;
        if (!server.start(QString::fromStdString(path)))
            std::_Exit(3);
        app.exec();
        std::_Exit(0);
    }
    for (int i = 0; i < 500; ++i) {
        const int fd = connectTo(path);
        if (fd >= 0) {
            ::close(fd);
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// CPU time of every thread of `pid`, in seconds.
double cpuSeconds(pid_t pid)
{
    const QString base = QStringLiteral("/proc/%1/task").arg(pid);
    double total = 0;
    for (const QString &task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream in((base + "/" + task + "/schedstat").toStdString());
        unsigned long long ns = 0;
        if (in >> ns)
            total += double(ns) / 1e9;
    }
    return total;
}

long statusKiB(pid_t pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Server CPU seconds for one burst of `bytes` of keep-alives and one request.
double burst(pid_t pid, const std::string &path, int bytes)
{
    const int fd = connectTo(path);
    if (fd < 0)
        return -1;
    QByteArray stream;
    stream.reserve(bytes + 64);
    for (int i = 0; i < bytes / 4; ++i)
        stream += TQ2RpcPacket::keepAlive();
    stream += TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the connection thread has started
    const double before = cpuSeconds(pid);
    std::thread writer([&] { writeAll(fd, stream); });
    const bool answered = readAnswer(fd);
    writer.join();
    const double after = cpuSeconds(pid);
    ::close(fd);
    return answered ? after - before : -1;
}

void keepAliveRows(const std::string &path, int rounds)
{
    const pid_t pid = spawnServer(path);
    if (pid < 0) {
        std::puts("server did not start");
        return;
    }
    std::puts("keep-alives before one request: server CPU per burst (ms), min / median");
    double base = 0;
    for (int kib : {256, 1024, 4096}) {
        std::vector<double> samples;
        for (int r = 0; r < rounds; ++r)
            samples.push_back(burst(pid, path, kib * 1024) * 1000);
        const double mid = median(samples);
        if (kib == 256)
            base = mid;
        std::printf("  %5d KiB  %8.2f / %8.2f ms   x%.1f of 256 KiB\n", kib,
                    *std::min_element(samples.begin(), samples.end()), mid, base > 0 ? mid / base : 0);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void memoryRows(const std::string &path)
{
    const pid_t pid = spawnServer(path);
    if (pid < 0) {
        std::puts("server did not start");
        return;
    }
    const int probe = connectTo(path);
    writeAll(probe, TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram());
    readAnswer(probe);
    ::close(probe);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long baseline = statusKiB(pid, "VmRSS");
    const int fill = int(TQ2ServerLimits::DefaultMaxRequestBytes) - 256;
    const QByteArray large = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"},
                                                      {"params", QJsonObject{{"pad", QString(fill, 'x')}}}})
                                 .toDatagram();
    std::vector<int> open;
    int answered = 0;
    for (int i = 0; i < 48; ++i) {
        const int fd = connectTo(path);
        if (fd < 0)
            break;
        open.push_back(fd);
        answered += writeAll(fd, large) && readAnswer(fd) ? 1 : 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long idle = statusKiB(pid, "VmRSS");
    for (int fd : open)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long closed = statusKiB(pid, "VmRSS");
    std::printf("resident memory, 48 connections x one %.2f MiB request (%d answered):\n",
                double(large.size()) / 1048576.0, answered);
    std::printf("  before %.1f MiB, 48 idle connections open %.1f MiB (+%.1f), after they closed %.1f MiB (+%.1f), "
                "peak %.1f MiB\n",
                baseline / 1024.0, idle / 1024.0, (idle - baseline) / 1024.0, closed / 1024.0,
                (closed - baseline) / 1024.0, statusKiB(pid, "VmHWM") / 1024.0);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace

int main(int argc, char *argv[])
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    ::signal(SIGPIPE, SIG_IGN);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const std::string path = (dir.path() + "/s.sock").toStdString();
    keepAliveRows(path, rounds);
    memoryRows(path);
    return 0;
}
