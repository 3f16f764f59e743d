// Helpers of the end-to-end tests, which run inside the testbed (see
// testbed/README.md): the testbed's environment, commands run to completion,
// the simulator's view of the appliance and of the two remote hosts, and
// digests of dataset contents.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

namespace tb {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return exitCode == 0; }
};

// A testbed variable (ZFSREP_TB_*, ZFS_SIM_ROOT, HOME); empty when unset.
QString env(const char *name);
bool inTestbed();
QString host();
int port();
QString user();
QString password();
QString localRoot();
QString remoteRoot();
// The second remote host: its own sshd (same user, password and client key
// as the first) and its own simulator root with an empty pool "backup".
QString host2();
int port2();
QString remote2Root();
// A fresh directory under the testbed's temporary directory.
QString scratchDir(const QString &name);

// Runs a program to its end (at most `timeoutMs`) with extra environment.
Run run(const QString &program, const QStringList &args, const QMap<QString, QString> &extraEnv = {},
        int timeoutMs = 60000);
// bash -c SCRIPT with pipefail.
Run bash(const QString &script, int timeoutMs = 60000);
// `zfs ARGS` on one machine, given by its simulator root (a remote one run
// directly on its root, without ssh); the named forms below use it.
Run zfsAt(const QString &root, const QStringList &args);
Run localZfs(const QStringList &args);
Run remoteZfs(const QStringList &args);
Run remote2Zfs(const QStringList &args);
// The directory that holds a dataset's (or snapshot's) files.
QString pathAt(const QString &root, const QString &dataset);
QString localPath(const QString &dataset);
QString remotePath(const QString &dataset);
QString remote2Path(const QString &dataset);
// Snapshot names of a dataset, oldest first.
QStringList snapshotsAt(const QString &root, const QString &dataset);
QStringList localSnapshots(const QString &dataset);
QStringList remoteSnapshots(const QString &dataset);
QStringList remote2Snapshots(const QString &dataset);
bool existsAt(const QString &root, const QString &dataset);
bool localExists(const QString &dataset);
bool remoteExists(const QString &dataset);
bool remote2Exists(const QString &dataset);
// relative path → sha256 of every file below `dir`.
QMap<QString, QByteArray> treeDigest(const QString &dir);
// Writes `size` pseudo-random bytes (seeded) into `path`.
void writeRandomFile(const QString &path, qint64 size, quint32 seed);
// A fault knob of the local or a remote simulator (a remote one owned by
// the test user, whose sessions consume it).
void setLocalFault(const QString &knob, const QByteArray &content);
void setRemoteFault(const QString &knob, const QByteArray &content);
void setRemote2Fault(const QString &knob, const QByteArray &content);
// Removes the knobs of all three machines.
void clearFaults();

} // namespace tb

// Fails the test when it does not run inside the testbed (CTest runs these
// binaries through testbed/run-in-testbed.sh, which reports a machine that
// cannot host the testbed as skipped).
#define TB_REQUIRE()                                                                                   \
    do {                                                                                                 \
        if (!tb::inTestbed())                                                                            \
            GTEST_FAIL() << "not inside the testbed: run through testbed/run-in-testbed.sh";              \
    } while (0)
