#include "fakerunner.h"

#include "canceltoken.h"

class FakeWatched : public WatchedProcess
{
public:
    FakeWatched(FakeRunner *owner, FakeStage stage, ProcessRequest request)
        : owner(owner), stage(std::move(stage)), request(std::move(request))
    {
    }

    // Virtual time: chunk i shows up after (i + 1) steps of kStepMs, the
    // stage ends one step after its last chunk.
    bool waitForFinished(int ms) override
    {
        if (ended)
            return true;
        elapsed += ms;
        while (released < stage.chunks.size() && (released + 1) * kStepMs <= elapsed)
            pending += stage.chunks.at(released++);
        if (!stage.hangs && released == stage.chunks.size() && elapsed >= (released + 1) * kStepMs) {
            ended = true;
            if (stage.exitCode == 0 && owner->onStageSucceeded)
                owner->onStageSucceeded(request);
        }
        return ended;
    }
    QByteArray readStandardOutput() override
    {
        QByteArray out = pending;
        pending.clear();
        return out;
    }
    QByteArray readStandardError() override { return ended ? stage.standardError : QByteArray(); }
    void terminate(int) override
    {
        std::lock_guard<std::mutex> lock(owner->mutex);
        ++owner->terminateCount;
        ended = true;
        // script ends with status 0 when terminated
        stage.exitCode = 0;
    }
    bool crashed() const override { return false; }
    int exitCode() const override { return stage.exitCode; }

private:
    FakeRunner *owner;
    FakeStage stage;
    ProcessRequest request;
    static constexpr int kStepMs = 3000;
    QByteArray pending;
    int released = 0;
    qint64 elapsed = 0; // virtual milliseconds; a stall test waits through very many of them
    bool ended = false;
};

QString FakeRunner::commandLine(const ProcessRequest &request)
{
    return (QStringList{request.program} + request.arguments).join(QLatin1Char(' '));
}

namespace {

ProcessOutcome finishedWith(int exitCode, const QByteArray &out, const QByteArray &err)
{
    ProcessOutcome outcome;
    outcome.started = true;
    outcome.finished = true;
    outcome.exitCode = exitCode;
    outcome.standardOutput = out;
    outcome.standardError = err;
    return outcome;
}

} // namespace

void FakeRunner::respond(const QString &prefix, int exitCode, const QByteArray &out, const QByteArray &err)
{
    std::lock_guard<std::mutex> lock(mutex);
    rules.append({prefix, finishedWith(exitCode, out, err)});
}

void FakeRunner::respondContaining(const QString &part, int exitCode, const QByteArray &out, const QByteArray &err)
{
    std::lock_guard<std::mutex> lock(mutex);
    containRules.append({part, finishedWith(exitCode, out, err)});
}

void FakeRunner::respondOnce(const QString &prefix, int exitCode, const QByteArray &out, const QByteArray &err)
{
    std::lock_guard<std::mutex> lock(mutex);
    onceRules.append({prefix, finishedWith(exitCode, out, err)});
}

void FakeRunner::queueStage(const FakeStage &stage)
{
    std::lock_guard<std::mutex> lock(mutex);
    stages.append(stage);
}

ProcessOutcome FakeRunner::run(const ProcessRequest &request)
{
    ProcessOutcome outcome = answer(request);
    // As the real runner: a line sink gets standard output line by line.
    if (request.lineSink && !outcome.standardOutput.isEmpty()) {
        QList<QByteArray> lines = outcome.standardOutput.split('\n');
        if (lines.last().isEmpty())
            lines.removeLast();
        for (const QByteArray &line : lines)
            request.lineSink(line);
        outcome.standardOutput.clear();
    }
    return outcome;
}

ProcessOutcome FakeRunner::answer(const ProcessRequest &request)
{
    std::lock_guard<std::mutex> lock(mutex);
    runList.append(request);
    // As the real runner: a request whose run was cancelled does not start.
    if (request.cancel && request.cancel->isCancelled()) {
        ProcessOutcome cancelled;
        cancelled.cancelled = true;
        cancelled.standardError = "cancelled";
        return cancelled;
    }
    const QString line = commandLine(request);
    for (int i = 0; i < onceRules.size(); ++i) {
        if (line.startsWith(onceRules.at(i).prefix))
            return onceRules.takeAt(i).outcome;
    }
    for (const Rule &rule : containRules) {
        if (line.contains(rule.prefix))
            return rule.outcome;
    }
    for (const Rule &rule : rules) {
        if (line.startsWith(rule.prefix))
            return rule.outcome;
    }
    ProcessOutcome ok;
    ok.started = ok.finished = true;
    ok.exitCode = 0;
    return ok;
}

std::unique_ptr<WatchedProcess> FakeRunner::spawn(const ProcessRequest &request)
{
    std::lock_guard<std::mutex> lock(mutex);
    spawnList.append(request);
    const FakeStage stage = stages.isEmpty() ? FakeStage() : stages.takeFirst();
    if (stage.startFails)
        return nullptr;
    if (stage.onStart)
        stage.onStart();
    return std::make_unique<FakeWatched>(this, stage, request);
}

QList<ProcessRequest> FakeRunner::runs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return runList;
}

QStringList FakeRunner::runLines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList lines;
    for (const ProcessRequest &request : runList)
        lines.append(commandLine(request));
    return lines;
}

QList<ProcessRequest> FakeRunner::spawns() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return spawnList;
}

int FakeRunner::terminated() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return terminateCount;
}
