// rpc_bench: throughput, latency and idle cost of the local RPC server.
//
// Two servers run in child processes, one after the other, on a Unix-domain
// socket in a temporary directory:
//   zfsrep  TQ2LocalServer answering "help_interfaces" (its root router only);
//   echo    a minimal thread-per-connection server that writes back every
//           byte it reads: the floor this machine allows for one round trip.
// For 1, 8 and 64 concurrent clients, each on its own connection sending
// requests back to back, it reports requests per second and the 50th/99th
// percentile latency; one more row opens a new connection per request (as
// zfsrepctl and localRequest do). Then 200 connections sit idle for 10 s and
// the server process's CPU time (utime + stime from /proc/PID/stat) is read.
//
// Usage: rpc_bench [seconds per row, default 2] [parse]
//        rpc_bench --profile N
// With "parse" the clients parse each answer's JSON rather than only frame it.
// The second form runs the server in this process and one client that sends
// N help_interfaces requests on one connection, then exits normally: run it
// under `valgrind --tool=callgrind` to count the instructions of the request
// path (repeatable under load, unlike the timings).
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QCoreApplication>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdleConnections = 200;
constexpr int kIdleSeconds = 10;
constexpr long kMaxRequestsPerRow = 2000000;

sockaddr_un address(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

int connectTo(const std::string &path)
{
    const sockaddr_un addr = address(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += int(n);
    }
    return true;
}

std::atomic<int> answerSize{0};
// Clients parse every answer's JSON (as zfsrepctl does) instead of only
// cutting the datagram off by its header. Parsing loads the shared CPUs with
// client work that grows with the answer (251 bytes against the echo's 41),
// so by default the clients only frame, and both servers are measured alike.
bool parseAnswers = false;

// Cuts the first datagram off `buffer` by its header: Complete, Incomplete or
// Invalid as TQ2RpcPacket::fromDatagram, without parsing the JSON text.
int frameOnly(QByteArray &buffer)
{
    if (buffer.startsWith(TQ2RpcPacket::keepAlive())) {
        buffer.remove(0, 4);
        return TQ2RpcPacket::Complete;
    }
    const qint64 total = TQ2RpcPacket::announcedLength(buffer);
    if (total < 0)
        return buffer.size() >= TQ2RpcPacket::HeaderSize ? TQ2RpcPacket::Invalid : TQ2RpcPacket::Incomplete;
    if (buffer.size() < total)
        return TQ2RpcPacket::Incomplete;
    buffer.remove(0, int(total));
    return TQ2RpcPacket::Complete;
}

// Reads until one whole datagram is in `buffer`, then removes it.
bool readDatagram(int fd, QByteArray &buffer)
{
    char chunk[65536];
    for (;;) {
        TQ2RpcPacket packet;
        const int before = buffer.size();
        const int result = parseAnswers ? packet.fromDatagram(buffer) : frameOnly(buffer);
        if (result == TQ2RpcPacket::Complete) {
            answerSize.store(before - buffer.size());
            return true;
        }
        if (result == TQ2RpcPacket::Invalid)
            return false;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, int(n));
    }
}

// --- servers (child processes) ----------------------------------------------

[[noreturn]] void runZfsrepServer(const std::string &path)
{
    int argc = 1;
    char name[] = "rpc_bench-server";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TQ2LocalServer server;
    if (!server.start(QString::fromStdString(path)))
        std::_Exit(3);
    app.exec();
    std::_Exit(0);
}

[[noreturn]] void runEchoServer(const std::string &path)
{
    const sockaddr_un addr = address(path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(listener, 1024) != 0)
        std::_Exit(3);
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::thread([fd] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                if (::send(fd, buffer, size_t(n), MSG_NOSIGNAL) != n)
                    break;
            }
            ::close(fd);
        }).detach();
    }
}

struct Child {
    pid_t pid = -1;
    std::string path;
};

Child spawn(const std::string &path, bool echo)
{
    Child child;
    child.path = path;
    child.pid = ::fork();
    if (child.pid == 0) {
        if (echo)
            runEchoServer(path);
        runZfsrepServer(path);
    }
    // Wait (at most 5 s) until it accepts connections.
    for (int i = 0; i < 500; ++i) {
        const int fd = connectTo(path);
        if (fd >= 0) {
            ::close(fd);
            return child;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
    child.pid = -1;
    return child;
}

void finish(Child &child)
{
    if (child.pid > 0) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, nullptr, 0);
    }
    ::unlink(child.path.c_str());
}

// utime + stime of a process in seconds.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')'); // the command name may hold spaces
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) { // field 3 is the state
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// --- load -------------------------------------------------------------------

struct Row {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
    long failures = 0;
};

Row load(const std::string &path, int clients, bool connectPerRequest, double seconds)
{
    const QByteArray request = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram();
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<long> failures{0};
    std::atomic<long> issued{0};
    const auto start = Clock::now();
    const auto stopAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double> &mine = latencies[size_t(c)];
            int fd = connectPerRequest ? -1 : connectTo(path);
            QByteArray buffer;
            while (Clock::now() < stopAt && issued.fetch_add(1) < kMaxRequestsPerRow) {
                const auto t0 = Clock::now();
                if (connectPerRequest)
                    fd = connectTo(path);
                const bool ok = fd >= 0 && writeAll(fd, request) && readDatagram(fd, buffer);
                if (connectPerRequest && fd >= 0) {
                    ::close(fd);
                    fd = -1;
                    buffer.clear();
                }
                if (!ok) {
                    ++failures;
                    if (!connectPerRequest)
                        break;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
    for (auto &t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto &v : latencies)
        all.insert(all.end(), v.begin(), v.end());
    Row row;
    row.failures = failures.load();
    if (all.empty())
        return row;
    std::sort(all.begin(), all.end());
    row.perSecond = double(all.size()) / elapsed;
    row.p50us = all[all.size() / 2];
    row.p99us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return row;
}

// CPU seconds the server spends while `count` connections stay open and silent.
double idleCpu(const Child &child, int count, int seconds)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(child.path);
        if (fd >= 0)
            fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let every connection settle
    const double before = cpuSeconds(child.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double after = cpuSeconds(child.pid);
    for (int fd : fds)
        ::close(fd);
    if (int(fds.size()) != count)
        std::fprintf(stderr, "only %zu of %d idle connections opened\n", fds.size(), count);
    return after - before;
}

std::string ratio(double a, double b)
{
    if (b <= 0)
        return a <= 0 ? "  n/a" : "  inf";
    char text[32];
    std::snprintf(text, sizeof text, "%5.2f", a / b);
    return text;
}

struct Mode {
    int clients;
    bool connectPerRequest;
};

// The server in this process, one client thread sending `count` requests.
int profile(int argc, char *argv[], long count)
{
    QCoreApplication app(argc, argv);
    char dirTemplate[] = "/tmp/rpc_bench-XXXXXX";
    if (!::mkdtemp(dirTemplate))
        return 1;
    const std::string path = std::string(dirTemplate) + "/profile.sock";
    TQ2LocalServer server;
    if (!server.start(QString::fromStdString(path)))
        return 3;
    std::atomic<long> answered{0};
    std::thread client([&] {
        const QByteArray request = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram();
        const int fd = connectTo(path);
        QByteArray buffer;
        for (long i = 0; fd >= 0 && i < count; ++i) {
            if (!writeAll(fd, request) || !readDatagram(fd, buffer))
                break;
            ++answered;
        }
        if (fd >= 0)
            ::close(fd);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    client.join();
    server.stop();
    server.closeConnections();
    ::rmdir(dirTemplate);
    std::printf("%ld of %ld requests answered (%d bytes each)\n", answered.load(), count, answerSize.load());
    return answered.load() == count ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && std::strcmp(argv[1], "--profile") == 0)
        return profile(argc, argv, std::max(1L, std::atol(argv[2])));
    const double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 2.0;
    parseAnswers = argc > 2 && std::strcmp(argv[2], "parse") == 0;
    char dirTemplate[] = "/tmp/rpc_bench-XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const Mode modes[] = {{1, false}, {8, false}, {64, false}, {8, true}};
    Row ours[4];
    Row floor[4];
    double idleOurs = -1;
    double idleFloor = -1;
    int zfsrepAnswer = 0;
    const int requestSize = TQ2RpcPacket(QJsonObject{{"cmd", "help_interfaces"}}).toDatagram().size();

    for (int which = 0; which < 2; ++which) {
        const bool echo = which == 1;
        Child child = spawn(dir + (echo ? "/echo.sock" : "/zfsrep.sock"), echo);
        if (child.pid < 0) {
            std::fprintf(stderr, "the %s server did not start\n", echo ? "echo" : "zfsrep");
            return 1;
        }
        for (int m = 0; m < 4; ++m)
            (echo ? floor : ours)[m] = load(child.path, modes[m].clients, modes[m].connectPerRequest, seconds);
        if (!echo)
            zfsrepAnswer = answerSize.load();
        (echo ? idleFloor : idleOurs) = idleCpu(child, kIdleConnections, kIdleSeconds);
        finish(child);
    }
    ::rmdir(dir.c_str());

    std::printf("help_interfaces over a Unix-domain socket, %.1f s per row; request %d bytes, answer %d bytes"
                " (the echo server answers with the request); clients %s answers\n",
                seconds, requestSize, zfsrepAnswer, parseAnswers ? "parse" : "only frame");
    std::printf("%-22s | %-30s | %-30s | %s\n", "", "zfsrep server", "echo floor", "ratios");
    std::printf("%-22s | %9s %9s %9s  | %9s %9s %9s  | %s\n", "clients", "req/s", "p50 us", "p99 us", "req/s",
                "p50 us", "p99 us", "req/s echo/zfsrep, zfsrep/echo, p99 zfsrep/echo");
    for (int m = 0; m < 4; ++m) {
        char label[32];
        std::snprintf(label, sizeof label, "%d %s", modes[m].clients,
                      modes[m].connectPerRequest ? "(connect per req)" : "(persistent)");
        std::printf("%-22s | %9.0f %9.1f %9.1f  | %9.0f %9.1f %9.1f  | %s  %s  %s\n", label, ours[m].perSecond,
                    ours[m].p50us, ours[m].p99us, floor[m].perSecond, floor[m].p50us, floor[m].p99us,
                    ratio(floor[m].perSecond, ours[m].perSecond).c_str(),
                    ratio(ours[m].perSecond, floor[m].perSecond).c_str(),
                    ratio(ours[m].p99us, floor[m].p99us).c_str());
        if (ours[m].failures || floor[m].failures)
            std::printf("%-22s   failures: zfsrep %ld, echo %ld\n", "", ours[m].failures, floor[m].failures);
    }
    std::printf("idle: %d connections for %d s: zfsrep %.3f s CPU, echo %.3f s CPU, ratio %s\n", kIdleConnections,
                kIdleSeconds, idleOurs, idleFloor, ratio(idleOurs, idleFloor).c_str());
    return 0;
}
