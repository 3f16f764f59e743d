#include "tbharness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <cstring>

namespace tb {

QString env(const char *name) { return qEnvironmentVariable(name); }

bool inTestbed() { return env("ZFSREP_TB_ACTIVE") == QLatin1String("1") && !env("ZFSREP_TB_DIR").isEmpty(); }

QString host() { return env("ZFSREP_TB_SSH_HOST"); }
int port() { return env("ZFSREP_TB_SSH_PORT").toInt(); }
QString user() { return env("ZFSREP_TB_SSH_USER"); }
QString password() { return env("ZFSREP_TB_SSH_PASSWORD"); }
QString localRoot() { return env("ZFS_SIM_ROOT"); }
QString remoteRoot() { return env("ZFSREP_TB_REMOTE_ROOT"); }
QString host2() { return env("ZFSREP_TB_SSH2_HOST"); }
int port2() { return env("ZFSREP_TB_SSH2_PORT").toInt(); }
QString remote2Root() { return env("ZFSREP_TB_REMOTE2_ROOT"); }

QString scratchDir(const QString &name)
{
    const QString path = env("ZFSREP_TB_DIR") + QStringLiteral("/scratch/") + name;
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

Run run(const QString &program, const QStringList &args, const QMap<QString, QString> &extraEnv, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = extraEnv.constBegin(); it != extraEnv.constEnd(); ++it)
        environment.insert(it.key(), it.value());
    process.setProcessEnvironment(environment);
    process.start(program, args);
    process.closeWriteChannel();
    Run result;
    if (!process.waitForStarted(10000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = "timed out";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

Run bash(const QString &script, int timeoutMs)
{
    return run(QStringLiteral("/bin/bash"), {QStringLiteral("-o"), QStringLiteral("pipefail"), QStringLiteral("-c"), script},
               {}, timeoutMs);
}

Run zfsAt(const QString &root, const QStringList &args)
{
    return run(QStringLiteral("zfs"), args, {{QStringLiteral("ZFS_SIM_ROOT"), root}});
}

Run localZfs(const QStringList &args) { return zfsAt(localRoot(), args); }
Run remoteZfs(const QStringList &args) { return zfsAt(remoteRoot(), args); }
Run remote2Zfs(const QStringList &args) { return zfsAt(remote2Root(), args); }

QString pathAt(const QString &root, const QString &dataset)
{
    return QString::fromUtf8(zfsAt(root, {QStringLiteral("sim-path"), dataset}).out).trimmed();
}

QString localPath(const QString &dataset) { return pathAt(localRoot(), dataset); }
QString remotePath(const QString &dataset) { return pathAt(remoteRoot(), dataset); }
QString remote2Path(const QString &dataset) { return pathAt(remote2Root(), dataset); }

QStringList snapshotsAt(const QString &root, const QString &dataset)
{
    // $ zfs list -H -o name -t snapshot -s createtxg tank/data
    // tank/data@a
    const Run listing = zfsAt(root, {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"),
                                     QStringLiteral("name"), QStringLiteral("-t"), QStringLiteral("snapshot"),
                                     QStringLiteral("-s"), QStringLiteral("createtxg"), dataset});
    return listing.ok() ? QString::fromUtf8(listing.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}

QStringList localSnapshots(const QString &dataset) { return snapshotsAt(localRoot(), dataset); }
QStringList remoteSnapshots(const QString &dataset) { return snapshotsAt(remoteRoot(), dataset); }
QStringList remote2Snapshots(const QString &dataset) { return snapshotsAt(remote2Root(), dataset); }

bool existsAt(const QString &root, const QString &dataset) { return zfsAt(root, {QStringLiteral("list"), dataset}).ok(); }

bool localExists(const QString &dataset) { return existsAt(localRoot(), dataset); }
bool remoteExists(const QString &dataset) { return existsAt(remoteRoot(), dataset); }
bool remote2Exists(const QString &dataset) { return existsAt(remote2Root(), dataset); }

QMap<QString, QByteArray> treeDigest(const QString &dir)
{
    QMap<QString, QByteArray> digests;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        digests.insert(QDir(dir).relativeFilePath(path), hash.result().toHex());
    }
    return digests;
}

void writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    QRandomGenerator generator(seed);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        for (int i = 0; i < block.size(); i += 4) {
            const quint32 value = generator.generate();
            memcpy(block.data() + i, &value, 4);
        }
        file.write(block.constData(), qMin<qint64>(left, block.size()));
    }
}

namespace {

void setFaultAt(const QString &root, const QString &knob, const QByteArray &content, bool forTestUser)
{
    const QString path = root + QStringLiteral("/faults/") + knob;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    file.close();
    if (forTestUser) // the remote sessions run as the test user and consume knobs
        run(QStringLiteral("chown"), {user() + QLatin1Char(':'), path});
}

} // namespace

void setLocalFault(const QString &knob, const QByteArray &content) { setFaultAt(localRoot(), knob, content, false); }
void setRemoteFault(const QString &knob, const QByteArray &content) { setFaultAt(remoteRoot(), knob, content, true); }
void setRemote2Fault(const QString &knob, const QByteArray &content) { setFaultAt(remote2Root(), knob, content, true); }

void clearFaults()
{
    for (const QString &root : {localRoot(), remoteRoot(), remote2Root()}) {
        if (root.isEmpty())
            continue;
        QDir faults(root + QStringLiteral("/faults"));
        for (const QString &name : faults.entryList(QDir::Files))
            faults.remove(name);
    }
}

} // namespace tb
