#include "service.h"

#include "tbharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

#include <csignal>

namespace {

QString binary(const char *relative)
{
    return tb::env("ZFSREP_BINARY_DIR") + QLatin1Char('/') + QLatin1String(relative);
}

} // namespace

void Service::resetState()
{
    QDir(QStringLiteral("/tarn/etc/zfs")).removeRecursively();
    QDir(QStringLiteral("/tarn/log")).removeRecursively();
    QFile::remove(QStringLiteral("/tarn/run/zfsrep-e2e.sock"));
}

void Service::start(const QJsonObject &config, const QStringList &extraArgs)
{
    const QString file = tb::scratchDir(QStringLiteral("service")) + QStringLiteral("/config.json");
    QFile out(file);
    out.open(QIODevice::WriteOnly);
    out.write(QJsonDocument(config).toJson());
    out.close();
    startWithArgs(QStringList{QStringLiteral("--cfg"), file} + extraArgs);
}

void Service::startWithArgs(const QStringList &args)
{
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(binary("zfsrep/zfsrep"), args);
    process->waitForStarted(10000);
}

bool Service::waitUntilServing(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (!isRunning())
            return false;
        if (ctl(QStringLiteral("help_interfaces")).exitCode == 0)
            return true;
        QThread::msleep(100);
    }
    return false;
}

bool Service::isRunning() const { return process && process->state() != QProcess::NotRunning; }

void Service::signal(int sig)
{
    if (isRunning())
        ::kill(static_cast<pid_t>(process->processId()), sig);
}

int Service::waitForExit(int timeoutMs)
{
    if (!process)
        return -1;
    if (isRunning() && !process->waitForFinished(timeoutMs))
        return -1;
    output();
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
}

int Service::stop(int sig, int timeoutMs)
{
    signal(sig);
    return waitForExit(timeoutMs);
}

QByteArray Service::output()
{
    if (!process)
        return printed;
    // Without an event loop QProcess reads the pipe only while waiting.
    if (isRunning())
        process->waitForReadyRead(50);
    printed += process->readAll();
    return printed;
}

Service::Call Service::ctl(const QString &cmd, const QJsonObject &params) const
{
    QStringList args{QStringLiteral("--socket"), socketPath, QStringLiteral("--timeout"), QStringLiteral("120"), cmd};
    if (!params.isEmpty())
        args << QStringLiteral("--json") << QString::fromUtf8(QJsonDocument(params).toJson(QJsonDocument::Compact));
    const tb::Run run = tb::run(binary("zfsrepctl/zfsrepctl"), args, {}, 150000);
    return Call{run.exitCode, QJsonDocument::fromJson(run.out).object()};
}

Service::~Service()
{
    if (isRunning()) {
        process->kill();
        process->waitForFinished(5000);
    }
}
