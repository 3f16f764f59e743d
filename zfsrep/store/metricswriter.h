// Keeps the metrics file current: writes the text its producer makes to the
// configured path after every run (write()) and once a minute on a thread of
// its own (start() to stop()). Nothing is written while no path is set.
// Any thread; writes of the file are serialised.
#pragma once

#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class MetricsWriter
{
public:
    // Makes the text; false when it could not (nothing is written then).
    using Producer = std::function<bool(QString &text)>;

    explicit MetricsWriter(Producer producer);
    ~MetricsWriter(); // stops the thread

    void setPath(const QString &path);
    QString path() const;
    // Writes the file now; true when there is no path or it was written.
    bool write();
    // Starts the minute thread once (only when a path is set).
    void start();
    void stop();

private:
    void loop();

    Producer produce;
    mutable std::mutex writeLock; // guards the path and serialises writes
    QString metricsPath;
    std::mutex threadLock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};
