// A process runner for tests: records every request and answers from rules
// (the first rule whose prefix starts the command line wins; no rule: exit 0
// with empty output). Watched processes replay scripted output chunks, one
// per wait, then end with the scripted status.
#pragma once

#include "processrunner.h"

#include <QList>
#include <mutex>

#include <functional>

struct FakeStage {
    QList<QByteArray> chunks; // one chunk per wait step
    int exitCode = 0;
    QByteArray standardError;
    bool startFails = false;
    bool hangs = false; // never ends by itself (only terminate ends it)
    std::function<void()> onStart; // e.g. writes the file the stage would write
};

class FakeRunner : public ProcessRunner
{
public:
    // "program arg1 arg2 ..." joined with spaces.
    static QString commandLine(const ProcessRequest &request);

    void respond(const QString &prefix, int exitCode, const QByteArray &out, const QByteArray &err = QByteArray());
    // A lasting rule that matches a command line containing `part` anywhere
    // (after the once rules, before the prefix rules).
    void respondContaining(const QString &part, int exitCode, const QByteArray &out, const QByteArray &err = QByteArray());
    // A rule used once, before every lasting rule (in the order given).
    void respondOnce(const QString &prefix, int exitCode, const QByteArray &out, const QByteArray &err = QByteArray());
    // Outcomes for watched processes, used in order.
    void queueStage(const FakeStage &stage);

    ProcessOutcome run(const ProcessRequest &request) override;
    std::unique_ptr<WatchedProcess> spawn(const ProcessRequest &request) override;

    // Called (without the runner's lock) when a watched stage ends by itself
    // with status 0: a test models what the stream left on the target, e.g.
    // with respondOnce rules for the listings that follow.
    std::function<void(const ProcessRequest &stage)> onStageSucceeded;

    QList<ProcessRequest> runs() const;
    QStringList runLines() const;
    QList<ProcessRequest> spawns() const;
    int terminated() const;

private:
    ProcessOutcome answer(const ProcessRequest &request);

    struct Rule {
        QString prefix;
        ProcessOutcome outcome;
    };
    mutable std::mutex mutex; // a std::mutex: ThreadSanitizer sees it
    QList<Rule> rules;
    QList<Rule> onceRules;
    QList<Rule> containRules;
    QList<FakeStage> stages;
    QList<ProcessRequest> runList;
    QList<ProcessRequest> spawnList;
    int terminateCount = 0;
    friend class FakeWatched;
};
