#include "processrunner.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

// A QProcess whose child leads a new process group, so the whole group can be
// signalled at once.
class GroupProcess : public QProcess
{
public:
    void killGroup(int signal)
    {
        const qint64 id = processId();
        if (id > 0)
            ::kill(static_cast<pid_t>(-id), signal);
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

void prepare(GroupProcess &process, const ProcessRequest &request)
{
    if (!request.environment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (auto it = request.environment.constBegin(); it != request.environment.constEnd(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
    }
    process.setProgram(request.program);
    process.setArguments(request.arguments);
}

// Ends a child that is still running: its group gets SIGKILL, then the child
// is reaped by waiting for it.
void endGroup(GroupProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.killGroup(SIGKILL);
    process.kill();
    process.waitForFinished(5000);
}

class QtWatchedProcess : public WatchedProcess
{
public:
    explicit QtWatchedProcess(std::unique_ptr<GroupProcess> process) : p(std::move(process)) {}
    ~QtWatchedProcess() override { endGroup(*p); }

    bool waitForFinished(int ms) override
    {
        if (p->state() == QProcess::NotRunning)
            return true;
        return p->waitForFinished(ms) || p->state() == QProcess::NotRunning;
    }
    QByteArray readStandardOutput() override { return p->readAllStandardOutput(); }
    QByteArray readStandardError() override { return p->readAllStandardError(); }
    void terminate(int graceMs) override
    {
        if (p->state() == QProcess::NotRunning)
            return;
        p->terminate();
        if (!p->waitForFinished(graceMs))
            endGroup(*p);
    }
    bool crashed() const override { return p->exitStatus() == QProcess::CrashExit; }
    int exitCode() const override { return p->exitCode(); }

private:
    std::unique_ptr<GroupProcess> p;
};

} // namespace

ProcessOutcome QProcessRunner::run(const ProcessRequest &request)
{
    ProcessOutcome outcome;
    GroupProcess process;
    prepare(process, request);
    process.start(QIODevice::ReadWrite);
    outcome.started = process.waitForStarted(request.startTimeoutMs);
    if (!outcome.started) {
        outcome.standardError = process.errorString().toUtf8();
        endGroup(process);
        return outcome;
    }
    process.closeWriteChannel();
    outcome.finished = process.waitForFinished(request.finishTimeoutMs);
    if (!outcome.finished) {
        endGroup(process);
        outcome.standardOutput = process.readAllStandardOutput();
        outcome.standardError = process.readAllStandardError();
        if (outcome.standardError.isEmpty())
            outcome.standardError = QByteArray("timed out after ") + QByteArray::number(request.finishTimeoutMs) + " ms";
        return outcome;
    }
    outcome.crashed = process.exitStatus() == QProcess::CrashExit;
    outcome.exitCode = process.exitCode();
    outcome.standardOutput = process.readAllStandardOutput();
    outcome.standardError = process.readAllStandardError();
    return outcome;
}

std::unique_ptr<WatchedProcess> QProcessRunner::spawn(const ProcessRequest &request)
{
    auto process = std::make_unique<GroupProcess>();
    prepare(*process, request);
    process->start(QIODevice::ReadWrite);
    if (!process->waitForStarted(request.startTimeoutMs)) {
        endGroup(*process);
        return nullptr;
    }
    return std::make_unique<QtWatchedProcess>(std::move(process));
}
