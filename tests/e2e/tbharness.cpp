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

Run localZfs(const QStringList &args) { return run(QStringLiteral("zfs"), args); }

Run remoteZfs(const QStringList &args)
{
    return run(QStringLiteral("zfs"), args, {{QStringLiteral("ZFS_SIM_ROOT"), remoteRoot()}});
}

QString localPath(const QString &dataset)
{
    return QString::fromUtf8(localZfs({QStringLiteral("sim-path"), dataset}).out).trimmed();
}

QString remotePath(const QString &dataset)
{
    return QString::fromUtf8(remoteZfs({QStringLiteral("sim-path"), dataset}).out).trimmed();
}

namespace {

QStringList names(const Run &listing)
{
    return listing.ok() ? QString::fromUtf8(listing.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}

QStringList snapshotArgs(const QString &dataset)
{
    return {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name"),
            QStringLiteral("-t"), QStringLiteral("snapshot"), QStringLiteral("-s"), QStringLiteral("createtxg"), dataset};
}

} // namespace

QStringList localSnapshots(const QString &dataset) { return names(localZfs(snapshotArgs(dataset))); }

QStringList remoteSnapshots(const QString &dataset) { return names(remoteZfs(snapshotArgs(dataset))); }

bool localExists(const QString &dataset) { return localZfs({QStringLiteral("list"), dataset}).ok(); }

bool remoteExists(const QString &dataset) { return remoteZfs({QStringLiteral("list"), dataset}).ok(); }

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

void setLocalFault(const QString &knob, const QByteArray &content)
{
    QFile file(localRoot() + QStringLiteral("/faults/") + knob);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

void setRemoteFault(const QString &knob, const QByteArray &content)
{
    const QString path = remoteRoot() + QStringLiteral("/faults/") + knob;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    file.close();
    // the remote sessions run as the test user and consume knobs
    run(QStringLiteral("chown"), {user() + QLatin1Char(':'), path});
}

void clearFaults()
{
    for (const QString &root : {localRoot(), remoteRoot()}) {
        QDir faults(root + QStringLiteral("/faults"));
        for (const QString &name : faults.entryList(QDir::Files))
            faults.remove(name);
    }
}

} // namespace tb
