#include "noticesender.h"

#include "canceltoken.h"
#include "printabletext.h"
#include "processrunner.h"
#include "tq2print.h"

#include <QUrl>

#include <chrono>

namespace {

// Bytes of a command's output kept for the log.
constexpr qint64 kOutputLimit = 64 * 1024;

} // namespace

NoticeSender::NoticeSender(std::function<ProcessRunner &()> runnerLookup)
    : runner(std::move(runnerLookup)), cancel(std::make_unique<CancelToken>())
{
}

NoticeSender::~NoticeSender() { stop(); }

void NoticeSender::configure(const NoticeSettings &settings) { configured = settings; }

void NoticeSender::setDelivered(std::function<void(const Notice &)> callback) { delivered = std::move(callback); }

void NoticeSender::setPeriodic(std::function<void()> task, int intervalMs)
{
    periodic = std::move(task);
    periodicMs = qMax(10, intervalMs);
}

void NoticeSender::start()
{
    if (thread)
        return;
    stopping = false;
    thread.reset(QThread::create([this] { loop(); }));
    thread->start();
}

void NoticeSender::stop()
{
    if (!thread)
        return;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        stopping = true;
        queue.clear();
    }
    cancel->cancel(CancelToken::Stopping);
    wake.notify_all();
    thread->wait();
    thread.reset();
}

bool NoticeSender::send(const Notice &notice)
{
    if (configured.command.isEmpty() && configured.url.isEmpty())
        return false;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        if (int(queue.size()) >= kQueueLimit) {
            const Notice dropped = queue.front();
            queue.pop_front();
            TQ2TRACE("noticeDropped", QStringLiteral("%1 notice of mission %2 (run %3) dropped: %4 notices wait already")
                                          .arg(dropped.notice)
                                          .arg(dropped.msnno)
                                          .arg(dropped.runno)
                                          .arg(kQueueLimit));
        }
        queue.push_back(notice);
    }
    wake.notify_all();
    return true;
}

int NoticeSender::pending() const
{
    std::lock_guard<std::mutex> guard(queueLock);
    return int(queue.size()) + busy;
}

void NoticeSender::loop()
{
    auto nextTask = std::chrono::steady_clock::now();
    while (!stopping.load()) {
        if (periodic && std::chrono::steady_clock::now() >= nextTask) {
            periodic();
            nextTask = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodicMs);
        }
        Notice notice;
        {
            std::unique_lock<std::mutex> guard(queueLock);
            wake.wait_until(guard, nextTask, [this] { return stopping.load() || !queue.empty(); });
            if (stopping.load() || queue.empty())
                continue;
            notice = queue.front();
            queue.pop_front();
            ++busy;
        }
        const bool sent = deliver(notice);
        if (sent && delivered)
            delivered(notice);
        std::lock_guard<std::mutex> guard(queueLock);
        --busy;
    }
}

bool NoticeSender::deliver(const Notice &notice)
{
    bool sent = true;
    QString failure;
    if (!configured.command.isEmpty() && !runCommand(notice, failure)) {
        sent = false;
        TQ2TRACE("noticeCommandFailed", QStringLiteral("%1 notice of mission %2 (run %3): %4 failed: %5")
                                            .arg(notice.notice)
                                            .arg(notice.msnno)
                                            .arg(notice.runno)
                                            .arg(configured.command.first(), failure));
    }
    if (!configured.url.isEmpty() && !stopping.load()) {
        failure.clear();
        if (!poster.send(configured.url, notice.toBody(), failure, stopping)) {
            sent = false;
            TQ2TRACE("noticePostFailed", QStringLiteral("%1 notice of mission %2 (run %3) to %4: %5")
                                             .arg(notice.notice)
                                             .arg(notice.msnno)
                                             .arg(notice.runno)
                                             .arg(QUrl(configured.url).toDisplayString(QUrl::RemoveUserInfo), failure));
        }
    }
    return sent && !stopping.load();
}

bool NoticeSender::runCommand(const Notice &notice, QString &failure)
{
    ProcessRequest request;
    request.program = configured.command.first();
    request.arguments = configured.command.mid(1);
    request.environment = notice.environment();
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    request.input = notice.toBody() + '\n';
    request.startTimeoutMs = 10000;
    request.finishTimeoutMs = kCommandTimeoutMs;
    request.outputLimit = kOutputLimit;
    request.cancel = cancel.get();
    const ProcessOutcome outcome = runner().run(request);
    if (outcome.succeeded())
        return true;
    const QString output = PrintableText::replaced(QString::fromUtf8(outcome.standardError.isEmpty() ? outcome.standardOutput
                                                                              : outcome.standardError)
                               .trimmed()
                               .left(500));
    failure = !outcome.started ? QStringLiteral("did not start: ") + output
              : outcome.crashed ? QStringLiteral("ended by a signal")
              : !outcome.finished ? output
                                  : QStringLiteral("exit status %1: %2").arg(outcome.exitCode).arg(output);
    return false;
}
