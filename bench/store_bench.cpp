// store_bench: the mission store through the real request path.
//
// The engine (MXZfsrep with its database in a temporary directory on disk),
// the request router and the local socket server run in this process, wired
// as the service wires them; a client thread talks to them through the
// Unix-domain socket with the service's own datagrams. For each size (by
// default 1,000 and 10,000 missions) it reports:
//   append   zfsrep_mission_append, one client, requests per second over the
//            last appends that brought the store to that size;
//   dsync    after each append round, as many 512-byte O_DSYNC writes to a
//            new file in the database's directory (what dd oflag=dsync
//            does): the disk's sync rate beside the appends, and the ratio
//            of the append median to it;
//   book     after each append round, as many of the same appends straight
//            into a mission book of its own (a second database in the same
//            directory, filled to the same size): the statement and its
//            commit alone, without the socket, the router, the validation
//            and the arming. "bound" is the ratio to dsync an append would
//            reach if the request around that cost no more than one exists
//            round trip (the socket, the request and an indexed read of the
//            store): what one client in series can reach at best;
//   exists   zfsrep_mission_exists, one client, per request (ms), half of
//            the captions present (in another letter case), half missing;
//   alload   zfsrep_mission_alload, the whole listing, per request (ms, until
//            the answer's last byte is read; the client parses it after) and
//            the answer's size: of a store unchanged since the last listing
//            (what a screen that polls sees), and the first listing after
//            one mission was changed (zfsrep_mission_change), which reads
//            every row again.
// Every figure is the min and the median of several rounds.
//
// Usage: store_bench [sizes...]          default: 1000 10000
//   STORE_BENCH_DIR   directory for the temporary database (default /tmp):
//                     put it on the disk whose fsync cost you want to see
//                     (on tmpfs an fsync costs nothing, so the figures show
//                     the CPU cost of the request path alone).
// The service's console trace lines (one per armed mission) are written to
// /dev/null, as their cost is part of the path; the table goes to stdout.
#include "missionbook.h"
#include "mxzfsrep.h"
#include "requestrouter.h"
#include "tq2dbsqlite.h"
#include "tq2journals.h"
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 5;           // rounds per figure
constexpr int kAppendWindow = 500;   // appends timed per round, just below the size
constexpr int kExistsPerRound = 200; // exists requests per round
constexpr int kAlloadPerRound = 3;   // listings per round
constexpr int kMaxMissions = 200000; // bound on any requested size
constexpr int kReceiveTimeoutS = 60; // one answer never takes longer

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Stat {
    double min = 0;
    double median = 0;
};

Stat stat(std::vector<double> values)
{
    Stat s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.min = values.front();
    s.median = values[values.size() / 2];
    return s;
}

// One persistent client connection speaking the service's datagrams.
class Client
{
public:
    explicit Client(const std::string &path)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd >= 0) {
            timeval timeout{kReceiveTimeoutS, 0};
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    ~Client()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isConnected() const { return m_fd >= 0; }

    // Sends one request and waits for its answer; false on a broken
    // connection or an answer whose "err" is not 0. `*elapsedMs` is the time
    // from the first byte sent to the last byte received: the answer is
    // parsed (for the check) only after that.
    bool call(const QJsonObject &request, QJsonObject *answer = nullptr, int *answerBytes = nullptr,
              double *elapsedMs = nullptr)
    {
        return send(TQ2RpcPacket(request).toDatagram(), answer, answerBytes, elapsedMs);
    }

    // As above, for a request already framed as a datagram.
    bool send(const QByteArray &bytes, QJsonObject *answer = nullptr, int *answerBytes = nullptr,
              double *elapsedMs = nullptr)
    {
        const auto t0 = Clock::now();
        for (int done = 0; done < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += int(n);
        }
        static thread_local char chunk[1 << 16];
        qint64 whole = -1;
        while (whole < 0 || m_buffer.size() < whole) {
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, int(n));
            whole = TQ2RpcPacket::announcedLength(m_buffer);
        }
        if (elapsedMs)
            *elapsedMs = msSince(t0);
        TQ2RpcPacket packet;
        if (packet.fromDatagram(m_buffer) != TQ2RpcPacket::Complete)
            return false;
        if (answerBytes)
            *answerBytes = int(whole);
        const QJsonObject &object = packet;
        if (answer)
            *answer = object;
        return object.value(QStringLiteral("err")).toInt(-1) == 0;
    }

private:
    int m_fd = -1;
    QByteArray m_buffer;
};

QString caption(int number)
{
    return QStringLiteral("Nightly offsite copy %1").arg(number, 6, 10, QLatin1Char('0'));
}

QJsonObject appendRequest(int number, const QString &path = QStringLiteral("backup/projects"))
{
    // Every mission (up to 40,320) has a schedule list of its own, so that
    // no listing profits from missions sharing one.
    const QJsonObject schedule{{"weeks", QJsonArray{1, 3, 5}}, {"months", QJsonArray()},
                               {"days", QJsonArray{number / 1440 % 28 + 1}},
                               {"hours", QJsonArray{number / 60 % 24}}, {"minutes", QJsonArray{number % 60}}};
    const QJsonObject params{{"caption", caption(number)}, {"action", 1}, {"pool", "tank"},
                             {"name", QStringLiteral("projects/p%1").arg(number)},
                             {"path", path}, {"host", "192.168.10.20"}, {"port", 22},
                             {"userid", "replica"}, {"passwd", "not-a-real-password"}, {"snapname", "ZFSREP"},
                             {"increment", true}, {"erase", true}, {"encrypt", false}, {"encryptkey", false},
                             {"schedules", QJsonArray{schedule}}};
    return QJsonObject{{"cmd", "zfsrep_mission_append"}, {"params", params}};
}

// Mission `number` (the store's numbers count from 1) with another path.
QJsonObject changeRequest(int number, int round)
{
    QJsonObject params = appendRequest(number, QStringLiteral("backup/round%1").arg(round)).value("params").toObject();
    params.insert("msnno", number);
    return QJsonObject{{"cmd", "zfsrep_mission_change"}, {"params", params}};
}

// What `dd if=/dev/zero of=FILE bs=512 count=N oflag=dsync` measures: N
// writes of 512 bytes to a new file opened with O_DSYNC, each returning once
// it is on the disk; writes per second, or 0 when the file cannot be written.
double dsyncWritesPerSecond(const std::string &directory, int count)
{
    const std::string path = directory + "/dsync-probe";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    static const char zeros[512] = {};
    const auto t0 = Clock::now();
    int written = 0;
    while (written < count && ::write(fd, zeros, sizeof zeros) == ssize_t(sizeof zeros))
        ++written;
    const double seconds = msSince(t0) / 1000.0;
    ::close(fd);
    ::unlink(path.c_str());
    return written == count && seconds > 0 ? count / seconds : 0;
}

// The same appends without the request path: a mission book of its own on
// a second database in the same directory, used by the client's thread only.
class BookAlone
{
public:
    explicit BookAlone(const std::string &directory) : book(database)
    {
        opened = book.open(journals, QString::fromStdString(directory) + QStringLiteral("/book-alone.db"));
    }

    // Grows the book to `target` missions in one transaction (one sync).
    bool fillTo(int target)
    {
        if (!opened || !database.transactionBegin())
            return false;
        while (stored < target && append())
            ++stored;
        return database.transactionCommit() && stored == target;
    }

    // `count` appends, each its own transaction; per second, 0 on a failure.
    double appendsPerSecond(int count)
    {
        if (!opened)
            return 0;
        const auto t0 = Clock::now();
        for (int i = 0; i < count; ++i, ++stored) {
            if (!append())
                return 0;
        }
        return count / (msSince(t0) / 1000.0);
    }

private:
    bool append()
    {
        int msnno = 0;
        return book.append(journals, appendRequest(stored + 1).value("params").toObject(), msnno);
    }

    TQ2DBSqlite database;
    MissionBook book;
    TQ2Journals journals;
    bool opened = false;
    int stored = 0;
};

struct Figures {
    int missions = 0;
    Stat appendPerSecond;
    Stat dsyncPerSecond; // beside the append rounds, on the database's disk
    Stat bookPerSecond;  // the same appends into a book of its own, beside them
    Stat existsMs;
    Stat alloadMs;
    Stat changedAlloadMs; // the first listing after a change
    int alloadBytes = 0;
    int listed = 0;
    bool ok = true;
};

// Appends up to `target` missions; the last rounds * window appends are
// timed, each round followed by as many dsync writes in `directory` and as
// many appends into `alone`, filled to the same size first.
bool fill(Client &client, int &stored, int target, Figures &figures, const std::string &directory,
          BookAlone &alone)
{
    const int timedFrom = std::max(stored, target - kRounds * kAppendWindow);
    while (stored < timedFrom) {
        if (!client.call(appendRequest(stored + 1)))
            return false;
        ++stored;
    }
    if (!alone.fillTo(timedFrom))
        return false;
    std::vector<double> rates;
    std::vector<double> syncs;
    std::vector<double> books;
    while (stored < target) {
        const int count = std::min(kAppendWindow, target - stored);
        // The requests are framed before the clock starts: the figure is
        // the service's path and the socket, not the client building JSON.
        std::vector<QByteArray> requests;
        for (int i = 1; i <= count; ++i)
            requests.push_back(TQ2RpcPacket(appendRequest(stored + i)).toDatagram());
        const auto t0 = Clock::now();
        for (const QByteArray &request : requests) {
            if (!client.send(request))
                return false;
            ++stored;
        }
        rates.push_back(count / (msSince(t0) / 1000.0));
        syncs.push_back(dsyncWritesPerSecond(directory, kAppendWindow));
        books.push_back(alone.appendsPerSecond(count));
    }
    figures.appendPerSecond = stat(rates);
    figures.dsyncPerSecond = stat(syncs);
    figures.bookPerSecond = stat(books);
    return true;
}

bool measure(Client &client, int stored, Figures &figures)
{
    std::vector<double> exists;
    for (int round = 0; round < kRounds; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kExistsPerRound; ++i) {
            // Even requests name a stored mission in upper case, odd ones a
            // caption that is not stored.
            const int number = (i * 7919 + round) % stored + 1;
            const QString text = i % 2 ? caption(stored + 1 + i) : caption(number).toUpper();
            QJsonObject answer;
            const QJsonObject request{{"cmd", "zfsrep_mission_exists"}, {"params", QJsonObject{{"caption", text}}}};
            if (!client.call(request, &answer))
                return false;
            const int found = answer.value("results").toObject().value("exists").toInt(-1);
            if (found != (i % 2 ? 0 : 1)) {
                std::fprintf(stderr, "exists answered %d for %s\n", found, qPrintable(text));
                return false;
            }
        }
        exists.push_back(msSince(t0) / kExistsPerRound);
    }
    figures.existsMs = stat(exists);

    std::vector<double> alload;
    std::vector<double> changed;
    const QJsonObject request{{"cmd", "zfsrep_mission_alload"}};
    for (int round = 0; round < kRounds; ++round) {
        if (!client.call(changeRequest((round * 7919) % stored + 1, round)))
            return false;
        for (int i = 0; i <= kAlloadPerRound; ++i) {
            QJsonObject answer;
            double ms = 0;
            if (!client.call(request, &answer, &figures.alloadBytes, &ms))
                return false;
            (i == 0 ? changed : alload).push_back(ms);
            figures.listed = answer.value("results").toObject().value("records").toArray().size();
        }
    }
    figures.alloadMs = stat(alload);
    figures.changedAlloadMs = stat(changed);
    return figures.listed == stored;
}

void runClient(const std::string &socket, const std::string &directory, const std::vector<int> &sizes,
               std::vector<Figures> &out)
{
    Client client(socket);
    BookAlone alone(directory);
    int stored = 0;
    for (int size : sizes) {
        Figures figures;
        figures.missions = size;
        figures.ok = client.isConnected() && fill(client, stored, size, figures, directory, alone)
                     && measure(client, stored, figures);
        out.push_back(figures);
        if (!figures.ok)
            break;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > kMaxMissions) {
            std::fprintf(stderr, "usage: store_bench [sizes 1..%d, ascending]\n", kMaxMissions);
            return 2;
        }
        sizes.push_back(size);
    }
    if (sizes.empty())
        sizes = {1000, 10000};
    std::sort(sizes.begin(), sizes.end());

    // The report keeps the real stdout; everything else printed goes nowhere.
    std::fflush(stdout);
    const int reportFd = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (reportFd < 0 || devNull < 0 || ::dup2(devNull, STDOUT_FILENO) < 0) {
        std::perror("stdout");
        return 1;
    }
    ::close(devNull);
    FILE *report = ::fdopen(reportFd, "w");

    QCoreApplication app(argc, argv);
    const char *base = std::getenv("STORE_BENCH_DIR");
    QTemporaryDir dir(QString::fromLocal8Bit(base && *base ? base : "/tmp") + QStringLiteral("/store_bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    MXZfsrep engine;
    engine.setDatabasePath(dir.filePath(QStringLiteral("etc/zfs/zfsrep.db")));
    engine.events().open(dir.filePath(QStringLiteral("log/tarnlog.db")));
    RequestRouter router(engine);
    TQ2LocalServer server;
    server.add(&router);
    TQ2Journals journals;
    if (!router.loadConfigure(journals, QJsonObject())) {
        std::fprintf(stderr, "the database did not open\n");
        return 1;
    }
    const QString socket = dir.filePath(QStringLiteral("zfsrep.sock"));
    if (!server.start(socket)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }

    // The scheduler is not started: the missions are stored, never run.
    std::vector<Figures> figures;
    std::thread client([&] {
        runClient(socket.toStdString(), QFile::encodeName(dir.path()).toStdString(), sizes, figures);
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    app.exec();
    client.join();
    server.stop();

    struct statfs fs{};
    const bool onTmpfs = ::statfs(QFile::encodeName(dir.path()).constData(), &fs) == 0 && fs.f_type == 0x01021994;
    std::fprintf(report, "mission store through the socket; database in %s (%s); min / median of %d rounds\n",
                 qPrintable(dir.path()), onTmpfs ? "tmpfs: fsync is free" : "not tmpfs: each commit waits for fsync",
                 kRounds);
    std::fprintf(report, "%9s | %19s | %19s | %6s | %19s | %6s | %19s | %19s | %19s | %10s\n", "missions",
                 "append /s (1 client)", "dsync 512 B /s", "ratio", "book alone /s", "bound", "exists ms",
                 "alload ms", "alload changed ms", "answer MB");
    bool ok = true;
    for (const Figures &f : figures) {
        if (!f.ok) {
            std::fprintf(report, "%9d | failed\n", f.missions);
            ok = false;
            continue;
        }
        const double ratio = f.dsyncPerSecond.median > 0 ? f.appendPerSecond.median / f.dsyncPerSecond.median : 0;
        // The book's own append plus one round trip per append, in series.
        const double best = f.bookPerSecond.median > 0 ? 1.0 / f.bookPerSecond.median + f.existsMs.median / 1000.0 : 0;
        const double bound = f.dsyncPerSecond.median > 0 && best > 0 ? 1.0 / best / f.dsyncPerSecond.median : 0;
        std::fprintf(report,
                     "%9d | %9.0f %9.0f | %9.0f %9.0f | %6.2f | %9.0f %9.0f | %6.2f | %9.3f %9.3f | %9.1f %9.1f | "
                     "%9.1f %9.1f | %10.2f\n",
                     f.missions, f.appendPerSecond.min, f.appendPerSecond.median, f.dsyncPerSecond.min,
                     f.dsyncPerSecond.median, ratio, f.bookPerSecond.min, f.bookPerSecond.median, bound,
                     f.existsMs.min, f.existsMs.median, f.alloadMs.min,
                     f.alloadMs.median, f.changedAlloadMs.min, f.changedAlloadMs.median, f.alloadBytes / 1e6);
    }
    std::fclose(report);
    return ok ? 0 : 1;
}
