// tree_recovery_bench: what the run after a cut costs for a tree of N
// children. Runs inside the testbed (root):
//
//   testbed/run-in-testbed.sh build/bench/tree_recovery_bench [CHILDREN...]   default 100 200
//
// For each N: tank/rb with N children (a small file each) is sent to the
// testbed's remote host; every child gets 100 KB of new data; the next send
// is cut (the simulator's send-cut knob) after about 5 % of its bytes, so the
// top and a few children hold the new snapshot, one child holds a cut
// receive and the rest lag behind. The recovering run is then counted
// through the process-runner seam: ssh invocations (every command and stage
// that runs ssh, the connection master's own included), remote zfs commands
// and seconds, and whether the replica then matches the source.
#include "mxzfsrep.h"
#include "processrunner.h"
#include "run.h"
#include "runservices.h"
#include "sendrun.h"
#include "tq2journals.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

// Counts what goes through the seam, then runs it for real.
class CountingRunner : public ProcessRunner
{
public:
    ProcessOutcome run(const ProcessRequest &request) override
    {
        note(request);
        return real.run(request);
    }
    std::unique_ptr<WatchedProcess> spawn(const ProcessRequest &request) override
    {
        note(request);
        return real.spawn(request);
    }
    void reset()
    {
        std::lock_guard<std::mutex> guard(lock);
        ssh = remoteZfs = 0;
    }
    int ssh = 0;
    int remoteZfs = 0;

private:
    void note(const ProcessRequest &request)
    {
        const QString line = (QStringList{request.program} + request.arguments).join(QLatin1Char(' '));
        std::lock_guard<std::mutex> guard(lock);
        if (request.program == QLatin1String("ssh") || request.program == QLatin1String("sshpass")
            || line.contains(QLatin1String(" ssh "))) {
            ++ssh;
            remoteZfs += line.count(QLatin1String("/usr/sbin/zfs"));
        }
    }
    std::mutex lock;
    QProcessRunner real;
};

QByteArray zfs(const QStringList &args, const QString &root = QString())
{
    QProcess process;
    if (!root.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZFS_SIM_ROOT"), root);
        process.setProcessEnvironment(env);
    }
    process.start(QStringLiteral("/usr/sbin/zfs"), args);
    process.waitForFinished(600000);
    return process.readAllStandardOutput();
}

void writeFile(const QString &dataset, const QString &name, int bytes, int seed)
{
    QFile file(QString::fromUtf8(zfs({"sim-path", dataset})).trimmed() + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly))
        return;
    QByteArray data(bytes, '\0');
    quint32 state = quint32(seed) * 2654435761u + 1;
    for (char &c : data) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
    }
    file.write(data);
}

QJsonObject sendMission()
{
    return QJsonObject{{"msnno", 1},
                       {"caption", "Bench"},
                       {"action", 1},
                       {"pool", "tank"},
                       {"name", "rb"},
                       {"path", "backup"},
                       {"host", qEnvironmentVariable("ZFSREP_TB_SSH_HOST")},
                       {"port", qEnvironmentVariable("ZFSREP_TB_SSH_PORT")},
                       {"userid", qEnvironmentVariable("ZFSREP_TB_SSH_USER")},
                       {"passwd", qEnvironmentVariable("ZFSREP_TB_SSH_PASSWORD")},
                       {"snapname", "ZFSREP"}};
}

bool send(MXZfsrep &engine, int minute, QString &error)
{
    engine.setClock([minute] { return QDateTime(QDate(2026, 12, 9), QTime(10, minute, 0)); });
    Run run(Mission::fromRow(sendMission()), 0);
    const RunServices services{engine.runner(), engine.settings(), engine.events(), [&engine] { return engine.now(); }};
    const bool ok = SendRun(services).execute(run);
    error = run.journals().errmsg();
    return ok;
}

void measure(int children)
{
    zfs({"destroy", "-r", "tank/rb"});
    zfs({"destroy", "-r", "backup/rb"}, qEnvironmentVariable("ZFSREP_TB_REMOTE_ROOT"));
    zfs({"create", "tank/rb"});
    for (int i = 0; i < children; ++i) {
        const QString child = QStringLiteral("tank/rb/c%1").arg(i);
        zfs({"create", child});
        writeFile(child, "a.bin", 4096, i);
    }
    QTemporaryDir dir;
    MXZfsrep engine;
    auto runner = std::make_shared<CountingRunner>();
    engine.setRunner(runner);
    engine.setDatabasePath(dir.filePath("zfsrep.db"));
    engine.events().open(dir.filePath("tarnlog.db"));
    TQ2Journals configured;
    engine.loadConfigure(configured, QJsonObject());
    QString error;
    if (!send(engine, 1, error)) {
        std::printf("%d children: the first send failed: %s\n", children, qPrintable(error));
        return;
    }
    for (int i = 0; i < children; ++i)
        writeFile(QStringLiteral("tank/rb/c%1").arg(i), "b.bin", 100000, 1000 + i);
    QFile cut(qEnvironmentVariable("ZFS_SIM_ROOT") + QStringLiteral("/faults/send-cut"));
    if (cut.open(QIODevice::WriteOnly))
        cut.write(QByteArray::number(qint64(children) * 100000 / 20));
    cut.close();
    send(engine, 2, error);
    QFile::remove(cut.fileName());

    runner->reset();
    QElapsedTimer clock;
    clock.start();
    const bool recovered = send(engine, 3, error);
    const double seconds = clock.elapsed() / 1000.0;
    const bool same = zfs({"list", "-H", "-o", "name", "-t", "snapshot", "-r", "tank/rb"}).count('\n')
                      <= zfs({"list", "-H", "-o", "name", "-t", "snapshot", "-r", "backup/rb"},
                             qEnvironmentVariable("ZFSREP_TB_REMOTE_ROOT"))
                             .count('\n');
    std::printf("%4d children | %s | ssh %4d (%.2f per child) | remote zfs %4d | %6.1f s | replica %s\n", children,
                recovered ? "recovered" : qPrintable(QStringLiteral("FAILED: ") + error.left(200)), runner->ssh,
                double(runner->ssh) / children, runner->remoteZfs, seconds, same ? "complete" : "INCOMPLETE");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariable("ZFSREP_TB_ACTIVE") != QLatin1String("1")) {
        std::fprintf(stderr, "run me inside the testbed: testbed/run-in-testbed.sh %s [CHILDREN...]\n", argv[0]);
        return 2;
    }
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.append(QString::fromLocal8Bit(argv[i]).toInt());
    if (sizes.isEmpty())
        sizes = {100, 200};
    for (int children : sizes) {
        if (children > 0 && children <= 1000)
            measure(children);
    }
    return 0;
}
