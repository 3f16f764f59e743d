#include "metricswriter.h"

#include "metricsfile.h"
#include "tq2print.h"

#include <chrono>

MetricsWriter::MetricsWriter(Producer producer) : produce(std::move(producer)) {}

MetricsWriter::~MetricsWriter() { stop(); }

void MetricsWriter::setPath(const QString &path)
{
    std::lock_guard<std::mutex> guard(writeLock);
    metricsPath = path;
}

QString MetricsWriter::path() const
{
    std::lock_guard<std::mutex> guard(writeLock);
    return metricsPath;
}

bool MetricsWriter::write()
{
    std::lock_guard<std::mutex> guard(writeLock);
    if (metricsPath.isEmpty())
        return true;
    QString text;
    if (!produce(text))
        return false;
    QString error;
    if (!MetricsFile::write(metricsPath, text, error)) {
        TQ2TRACE("error", error);
        return false;
    }
    return true;
}

void MetricsWriter::start()
{
    if (path().isEmpty())
        return;
    std::lock_guard<std::mutex> guard(threadLock);
    if (thread.joinable())
        return;
    stopping = false;
    thread = std::thread(&MetricsWriter::loop, this);
}

void MetricsWriter::stop()
{
    {
        std::lock_guard<std::mutex> guard(threadLock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void MetricsWriter::loop()
{
    std::unique_lock<std::mutex> guard(threadLock);
    while (!stopping) {
        guard.unlock();
        write();
        guard.lock();
        wake.wait_for(guard, std::chrono::seconds(60), [this] { return stopping; });
    }
}
