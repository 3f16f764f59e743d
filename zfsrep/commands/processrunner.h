// The one seam every child process of the engine goes through. A query runs
// to completion (`run`); a transfer stage is started and watched while it runs
// (`spawn`). Tests replace the runner to check exact argument lists and to
// feed recorded output; the service uses QProcessRunner.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class CancelToken;

struct ProcessRequest {
    QString program;
    QStringList arguments;
    // Added to (or replacing in) the inherited environment, e.g. SSHPASS.
    QMap<QString, QString> environment;
    // Written to the child's standard input (then closed) by `run`.
    QByteArray input;
    int startTimeoutMs = 30000;
    // -1 waits without limit.
    int finishTimeoutMs = 30000;
    // A set token ends the child (and its group) within about 100 ms; the
    // outcome is then `cancelled`. Not owned; must outlive the call.
    const CancelToken *cancel = nullptr;
    // Bytes of standard output plus standard error a `run` child may print;
    // beyond them it is ended and the outcome is `overflowed`. Output of a
    // remote host is not trusted to be small.
    qint64 outputLimit = kDefaultOutputLimit;
    static constexpr qint64 kDefaultOutputLimit = 16 * 1024 * 1024;
    // When set, standard output is handed over line by line (without its
    // newline) as it arrives and not kept: a listing of any length costs
    // the memory of what the sink keeps. `outputLimit` then bounds standard
    // error alone and `lineLimit` each line; a longer line ends the child as
    // overflowed. Called on the caller's thread, inside `run`.
    std::function<void(const QByteArray &line)> lineSink;
    qint64 lineLimit = kDefaultLineLimit;
    static constexpr qint64 kDefaultLineLimit = 64 * 1024;
};

struct ProcessOutcome {
    bool started = false;
    bool finished = false; // ended within the finish timeout
    bool crashed = false;  // ended by a signal
    bool cancelled = false;  // ended because the request's token was set
    bool overflowed = false; // ended because it printed more than the limit
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;

    bool succeeded() const { return started && finished && !crashed && !cancelled && !overflowed && exitCode == 0; }
};

// A child that is watched while it runs. Owned by the caller; destroying it
// kills the child's whole process group and reaps it.
class WatchedProcess
{
public:
    virtual ~WatchedProcess() = default;
    // Waits up to `ms` for the child to end; true once it has ended.
    virtual bool waitForFinished(int ms) = 0;
    // Standard output that arrived since the last call.
    virtual QByteArray readStandardOutput() = 0;
    // Standard error that arrived since the last call.
    virtual QByteArray readStandardError() = 0;
    // Asks the child to end (SIGTERM to it), and ends its group with SIGKILL
    // when it is still there after `graceMs`.
    virtual void terminate(int graceMs) = 0;
    virtual bool crashed() const = 0;
    virtual int exitCode() const = 0;
};

class ProcessRunner
{
public:
    virtual ~ProcessRunner() = default;
    // Runs the child to its end or its finish timeout. Blocks the caller.
    // A child that overruns is killed with its process group and reaped.
    virtual ProcessOutcome run(const ProcessRequest &request) = 0;
    // Starts a child and returns it once started (null when it did not start
    // within the start timeout). The finish timeout is not used.
    virtual std::unique_ptr<WatchedProcess> spawn(const ProcessRequest &request) = 0;
};

// Runs children with QProcess, each in a process group of its own so that a
// time-out ends the child's children too (no orphans, no zombies). Safe to
// use from any thread; keeps no state between calls.
class QProcessRunner : public ProcessRunner
{
public:
    ProcessOutcome run(const ProcessRequest &request) override;
    std::unique_ptr<WatchedProcess> spawn(const ProcessRequest &request) override;
};
