// Helpers of the end-to-end tests, which run inside the testbed (see
// testbed/README.md): the testbed's environment, commands run to completion,
// the simulator's view of both machines, and digests of dataset contents.
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
// A fresh directory under the testbed's temporary directory.
QString scratchDir(const QString &name);

// Runs a program to its end (at most `timeoutMs`) with extra environment.
Run run(const QString &program, const QStringList &args, const QMap<QString, QString> &extraEnv = {},
        int timeoutMs = 60000);
// bash -c SCRIPT with pipefail.
Run bash(const QString &script, int timeoutMs = 60000);
// `zfs ARGS` on the local or the remote machine (the remote one directly on
// its simulator root, without ssh).
Run localZfs(const QStringList &args);
Run remoteZfs(const QStringList &args);
// The directory that holds a dataset's (or snapshot's) files.
QString localPath(const QString &dataset);
QString remotePath(const QString &dataset);
// Snapshot names of a dataset, oldest first.
QStringList localSnapshots(const QString &dataset);
QStringList remoteSnapshots(const QString &dataset);
bool localExists(const QString &dataset);
bool remoteExists(const QString &dataset);
// relative path → sha256 of every file below `dir`.
QMap<QString, QByteArray> treeDigest(const QString &dir);
// Writes `size` pseudo-random bytes (seeded) into `path`.
void writeRandomFile(const QString &path, qint64 size, quint32 seed);
// A fault knob of the local or remote simulator.
void setLocalFault(const QString &knob, const QByteArray &content);
void setRemoteFault(const QString &knob, const QByteArray &content);
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
