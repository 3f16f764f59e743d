#include "processrunner.h"

#include "canceltoken.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// How often a running child is looked at (cancel, output limit, timeout).
constexpr int kSliceMs = 100;

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

    // Signals the process groups of the child's descendants that left its
    // group (`script` runs its command in a session of its own), newest
    // first, so a pipeline does not outlive the stage that started it.
    QList<pid_t> descendantGroups() const
    {
        QList<pid_t> groups;
        const qint64 id = processId();
        if (id > 0)
            collectGroups(static_cast<pid_t>(id), static_cast<pid_t>(id), groups, 0);
        return groups;
    }
    void signalDescendantGroups(int signal) const
    {
        for (pid_t group : descendantGroups())
            ::kill(-group, signal);
    }

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        // The child dies with the service, however the service ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    }

private:
    static void collectGroups(pid_t pid, pid_t ownGroup, QList<pid_t> &groups, int depth)
    {
        if (depth > 16)
            return;
        QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray &piece : file.readAll().split(' ')) {
            const pid_t child = static_cast<pid_t>(piece.trimmed().toInt());
            if (child <= 0)
                continue;
            collectGroups(child, ownGroup, groups, depth + 1);
            const pid_t group = ::getpgid(child);
            if (group > 0 && group != ownGroup && !groups.contains(group))
                groups.append(group);
        }
    }
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
    process.signalDescendantGroups(SIGKILL);
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
        const QList<pid_t> groups = p->descendantGroups();
        for (pid_t group : groups)
            ::kill(-group, SIGTERM);
        p->terminate();
        const bool ended = p->waitForFinished(graceMs);
        // Whatever of the pipeline ignored SIGTERM ends now.
        for (pid_t group : groups)
            ::kill(-group, SIGKILL);
        if (!ended)
            endGroup(*p);
    }
    bool crashed() const override { return p->exitStatus() == QProcess::CrashExit; }
    int exitCode() const override { return p->exitCode(); }

private:
    std::unique_ptr<GroupProcess> p;
};

// Standard output as it arrives: kept whole, or handed to the request's
// line sink one complete line at a time (the unfinished end waits for more).
class LineSplitter
{
public:
    explicit LineSplitter(const ProcessRequest &request) : request(request) {}

    void take(const QByteArray &chunk, QByteArray &kept)
    {
        if (!request.lineSink) {
            kept.append(chunk);
            return;
        }
        if (tooLong)
            return;
        partial.append(chunk);
        int from = 0;
        for (int newline = partial.indexOf('\n'); newline >= 0 && !tooLong; newline = partial.indexOf('\n', from)) {
            tooLong = newline - from > request.lineLimit;
            if (!tooLong)
                request.lineSink(partial.mid(from, newline - from));
            from = newline + 1;
        }
        partial.remove(0, from);
        tooLong = tooLong || partial.size() > request.lineLimit;
    }
    // The output ended: a last line without its newline still counts.
    void finish()
    {
        if (request.lineSink && !tooLong && !partial.isEmpty())
            request.lineSink(partial);
        partial.clear();
    }
    bool overlong() const { return tooLong; }
    QByteArray overlongText() const
    {
        return QByteArray("the program printed a line longer than ") + QByteArray::number(request.lineLimit)
               + " bytes and was ended";
    }

private:
    const ProcessRequest &request;
    QByteArray partial;
    bool tooLong = false;
};

ProcessOutcome overflowed(ProcessOutcome &outcome, const QByteArray &reason)
{
    outcome.overflowed = true;
    outcome.standardOutput.clear();
    outcome.standardError = reason;
    return outcome;
}

} // namespace

ProcessOutcome QProcessRunner::run(const ProcessRequest &request)
{
    ProcessOutcome outcome;
    if (request.cancel && request.cancel->isCancelled()) {
        outcome.cancelled = true;
        outcome.standardError = QByteArray("cancelled");
        return outcome;
    }
    GroupProcess process;
    prepare(process, request);
    process.start(QIODevice::ReadWrite);
    outcome.started = process.waitForStarted(request.startTimeoutMs);
    if (!outcome.started) {
        outcome.standardError = process.errorString().toUtf8();
        endGroup(process);
        return outcome;
    }
    if (!request.input.isEmpty()) {
        process.write(request.input);
        // A child that does not read its input is not waited for here; the
        // finish timeout below still holds.
        process.waitForBytesWritten(qMax(1, qMin(request.finishTimeoutMs < 0 ? 30000 : request.finishTimeoutMs, 30000)));
    }
    process.closeWriteChannel();
    // The child is watched in short slices: its output is taken as it comes
    // (so the limit holds while it runs, not after) and a cancel is seen soon.
    QElapsedTimer clock;
    clock.start();
    LineSplitter lines(request);
    auto overdue = [&] { return request.finishTimeoutMs >= 0 && clock.elapsed() >= request.finishTimeoutMs; };
    while (process.state() != QProcess::NotRunning) {
        const int remaining = request.finishTimeoutMs < 0 ? kSliceMs
                                                          : int(qBound<qint64>(0, request.finishTimeoutMs - clock.elapsed(), kSliceMs));
        // Returns as soon as output arrived, so the limit is looked at chunk
        // by chunk rather than after a slice's worth of a fast writer.
        if (!process.waitForReadyRead(qMax(1, remaining)) && process.state() != QProcess::NotRunning)
            process.waitForFinished(1);
        lines.take(process.readAllStandardOutput(), outcome.standardOutput);
        outcome.standardError.append(process.readAllStandardError());
        if (process.state() == QProcess::NotRunning)
            break;
        if (lines.overlong()) {
            endGroup(process);
            return overflowed(outcome, lines.overlongText());
        }
        if (outcome.standardOutput.size() + outcome.standardError.size() > request.outputLimit) {
            endGroup(process);
            return overflowed(outcome, QByteArray("the program printed more than ") + QByteArray::number(request.outputLimit)
                                           + " bytes and was ended");
        }
        if (request.cancel && request.cancel->isCancelled()) {
            endGroup(process);
            outcome.cancelled = true;
            outcome.standardError = QByteArray("cancelled");
            return outcome;
        }
        if (overdue()) {
            endGroup(process);
            if (outcome.standardError.isEmpty())
                outcome.standardError = QByteArray("timed out after ") + QByteArray::number(request.finishTimeoutMs) + " ms";
            return outcome;
        }
    }
    outcome.finished = true;
    lines.take(process.readAllStandardOutput(), outcome.standardOutput);
    lines.finish();
    outcome.standardError.append(process.readAllStandardError());
    if (lines.overlong())
        return overflowed(outcome, lines.overlongText());
    if (outcome.standardOutput.size() + outcome.standardError.size() > request.outputLimit)
        return overflowed(outcome, QByteArray("the program printed more than ") + QByteArray::number(request.outputLimit)
                                       + " bytes");
    outcome.crashed = process.exitStatus() == QProcess::CrashExit;
    outcome.exitCode = process.exitCode();
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
