// Sends notices on a thread of its own, so a slow or absent receiver never
// holds the scheduler or a run: post() only queues (bounded; when full the
// oldest waiting notice is dropped and logged). Each notice goes to the
// configured command (run without a shell through the process runner, the
// JSON on its standard input and the ZFSREP_* variables in its environment,
// bounded by a timeout) and to the configured URL (NoticePost). A failure is
// logged, never retried beyond NoticePost's tries.
//
// The thread also calls a periodic task (the staleness check) between
// notices. Callbacks run on the sender's thread.
#pragma once

#include "notice.h"
#include "noticepost.h"
#include "noticesettings.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class ProcessRunner;
class CancelToken;

class NoticeSender
{
    Q_DISABLE_COPY(NoticeSender)
public:
    static constexpr int kQueueLimit = 64;
    static constexpr int kCommandTimeoutMs = 30000;

    // The runner is looked up for every command (tests swap it).
    explicit NoticeSender(std::function<ProcessRunner &()> runner);
    // Stops the thread (bounded by the current try's timeout).
    ~NoticeSender();

    // Before start(): where notices go and which ones.
    void configure(const NoticeSettings &settings);
    const NoticeSettings &settings() const { return configured; }
    // Called with each notice that every configured receiver took.
    void setDelivered(std::function<void(const Notice &)> delivered);
    // A task run on the thread every `intervalMs` (and at the start).
    void setPeriodic(std::function<void()> task, int intervalMs);
    // The URL form's tries (tests shorten them).
    NoticePost &post() { return poster; }

    // Starts the thread (once).
    void start();
    // Ends the thread: a command is ended, a POST aborted; queued notices are
    // dropped (history still says they did not go out).
    void stop();

    // Any thread; returns at once. False when nothing is configured to
    // receive notices (nothing queued).
    bool send(const Notice &notice);
    // Notices waiting or being sent (tests).
    int pending() const;

private:
    void loop();
    bool deliver(const Notice &notice);
    bool runCommand(const Notice &notice, QString &failure);

    std::function<ProcessRunner &()> runner;
    NoticeSettings configured;
    NoticePost poster;
    std::function<void(const Notice &)> delivered;
    std::function<void()> periodic;
    int periodicMs = 60000;

    mutable std::mutex queueLock;
    std::condition_variable wake;
    std::deque<Notice> queue; // guarded by queueLock
    int busy = 0;             // guarded by queueLock
    std::atomic<bool> stopping{false};
    std::unique_ptr<CancelToken> cancel;
    std::unique_ptr<QThread> thread;
};
