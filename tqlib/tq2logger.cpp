#include "tq2logger.h"

#include "tq2lfqueue.h"

#include <QCalendar>
#include <QLocale>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<TQ2Logger *> loggers;
    TQ2Logger *current = nullptr;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

QString backupName(const QString &path, int n)
{
    const QFileInfo info(path);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.')
           + QString::number(n) + QLatin1Char('.') + info.suffix();
}

// Creates the directory of `path` with all missing parents; true when it
// exists afterwards.
bool ensureDirectory(const QString &path)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (QFileInfo::exists(dir))
        return true;
    QDir().mkpath(dir);
    return QFileInfo::exists(dir);
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

constexpr QIODevice::OpenMode kAppendMode =
    QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered;

} // namespace

// State shared by the logger and its writer thread. The thread holds its own
// reference, so the state outlives a logger destroyed while it runs.
struct TQ2Logger::Private {
    mutable std::mutex settingsMutex;
    QString filePath;   // guarded by settingsMutex
    std::atomic<qint64> maxSize{10485760};
    std::atomic<int> backupCount{10};
    std::atomic<bool> output{true};
    std::atomic<bool> immediate{true};

    TQ2LFQueue<QByteArray> queue;
    std::atomic<int> queuedCount{0};
    std::atomic<bool> running{false};   // a writer owns the queue's far end
    std::atomic<bool> stop{false};      // the writer gave up on an unusable file
    std::atomic<bool> closing{false};   // the logger is gone; writer ends early

    // Every rename and delete of the log file and its backups happens under
    // this lock, so concurrent writers never rotate the same file twice.
    std::mutex backupMutex;

    QString path() const
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        return filePath;
    }

    int effectiveBackupCount() const { return std::max(1, backupCount.load()); }

    // Makes the backup when the file on disk is still too big for `incoming`
    // more bytes: a writer that raced us may have rotated it already. An empty
    // or missing file is never rotated, so it cannot push out a backup.
    void backupIfTooBig(const QString &path, qint64 incoming, qint64 max)
    {
        std::lock_guard<std::mutex> lock(backupMutex);
        const qint64 size = fileSize(path);
        if (size <= 0 || max <= 0 || max >= size + incoming)
            return;
        const int count = effectiveBackupCount();
        for (int n = 1; n <= count; ++n) {
            if (!QFileInfo::exists(backupName(path, n))) {
                QFile::rename(path, backupName(path, n));
                return;
            }
        }
        QFile::remove(backupName(path, 1));
        for (int n = 2; n <= count; ++n)
            QFile::rename(backupName(path, n), backupName(path, n - 1));
        QFile::rename(path, backupName(path, count));
    }

    // Appends one line on the caller's thread.
    void writeNow(const QString &path, QByteArray bytes)
    {
        if (!ensureDirectory(path))
            return;
        const qint64 max = maxSize.load();
        if (max > 0 && max < fileSize(path) + bytes.size())
            backupIfTooBig(path, bytes.size(), max);
        QFile file(path);
        if (!file.open(kAppendMode))
            return;
        bytes.append('\n');
        file.write(bytes);
    }

    static void enqueue(const std::shared_ptr<Private> &self, QByteArray bytes)
    {
        self->queuedCount.fetch_add(1);
        self->queue.enqueue(std::move(bytes));
        // A writer that has just found the queue empty re-checks it after
        // clearing `running` (runWriter), so either it sees this line or we
        // see `running` false here. The exchange lets one caller only start
        // the next writer.
        bool idle = false;
        if (!self->running.load() && self->running.compare_exchange_strong(idle, true))
            startWriter(self);
    }

    // Called with `running` just set by the caller.
    static void startWriter(const std::shared_ptr<Private> &self)
    {
        try {
            std::thread(&Private::runWriter, self).detach();
        } catch (...) {
            // No thread now: the lines stay queued for the next write.
            self->running.store(false);
        }
    }

    static void runWriter(std::shared_ptr<Private> self)
    {
        for (;;) {
            const bool emptied = self->drain();
            self->running.store(false);
            if (!emptied || self->queue.isEmpty())
                return;
            // A line arrived after the queue looked empty and its producer may
            // have seen `running` still set: take the queue back unless some
            // producer has started a new writer meanwhile.
            bool idle = false;
            if (!self->running.compare_exchange_strong(idle, true))
                return;
        }
    }

    // Writes queued lines until the queue is empty (true) or the file is
    // unusable or the logger is gone (false). The file is closed on return.
    bool drain()
    {
        stop.store(false);
        QString openPath = path();
        qint64 size = fileSize(openPath);
        QFile file;
        QByteArray line;
        while (!closing.load() && queue.dequeue(line)) {
            queuedCount.fetch_sub(1);
            const QString current = path();
            if (current.isEmpty())
                continue;
            if (current != openPath) {
                file.close();
                openPath = current;
                size = fileSize(openPath);
            }
            if (!ensureDirectory(openPath))
                return false;
            const qint64 max = maxSize.load();
            if (max > 0 && max < size + line.size()) {
                file.close();
                backupIfTooBig(openPath, line.size(), max);
                size = 0;
            }
            if (!file.isOpen()) {
                file.setFileName(openPath);
                if (file.open(kAppendMode))
                    size = file.size();
            }
            if (!file.isOpen()) {
                stop.store(true);
                return false;
            }
            line.append('\n');
            file.write(line);
            size += line.size();
        }
        return !closing.load();
    }
};

TQ2Logger::TQ2Logger(QObject *parent) : QObject(parent), d(std::make_shared<Private>())
{
    // Qt 5.15 sets its calendar registry up on first use without a lock, and
    // date formatting racing that set-up returns empty text: do it here, on
    // the creating thread, before producers format time stamps.
    QCalendar();
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.loggers.push_back(this);
    r.current = this;
}

TQ2Logger::~TQ2Logger()
{
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.loggers.erase(std::remove(r.loggers.begin(), r.loggers.end(), this), r.loggers.end());
        r.current = r.loggers.empty() ? nullptr : r.loggers.back();
    }
    d->closing.store(true);
}

TQ2Logger *TQ2Logger::i()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.current;
}

void TQ2Logger::setCurrentInstance()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.current = this;
}

QString TQ2Logger::filePath() const { return d->path(); }

void TQ2Logger::setFilePath(const QString &path)
{
    std::lock_guard<std::mutex> lock(d->settingsMutex);
    d->filePath = path;
}

qint64 TQ2Logger::maxSize() const { return d->maxSize.load(); }
void TQ2Logger::setMaxSize(qint64 bytes) { d->maxSize.store(bytes); }
int TQ2Logger::backupCount() const { return d->backupCount.load(); }
void TQ2Logger::setBackupCount(int count) { d->backupCount.store(count); }
bool TQ2Logger::output() const { return d->output.load(); }
void TQ2Logger::setOutput(bool on) { d->output.store(on); }
bool TQ2Logger::immediate() const { return d->immediate.load(); }
void TQ2Logger::setImmediate(bool on) { d->immediate.store(on); }
int TQ2Logger::queuedCount() const { return d->queuedCount.load(); }
bool TQ2Logger::isWriterRunning() const { return d->running.load(); }

QString TQ2Logger::backupPath(int n) const
{
    const QString path = d->path();
    return path.isEmpty() ? QString() : backupName(path, n);
}

void TQ2Logger::clean()
{
    const QString path = d->path();
    if (path.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(d->backupMutex);
    QFile::remove(path);
    const int count = d->effectiveBackupCount();
    for (int n = 1; n <= count; ++n)
        QFile::remove(backupName(path, n));
}

QString TQ2Logger::write(int level, const QString &label1, const QString &label2, int line,
                         const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const QString text = vwrite(level, label1, label2, line, format, args);
    va_end(args);
    return text;
}

QString TQ2Logger::vwrite(int level, const QString &label1, const QString &label2, int line,
                          const char *format, va_list args)
{
    QString text = QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    if (const char *name = QMetaEnum::fromType<LogLevel>().valueToKey(level))
        text += QLatin1String(name);
    if (!label1.isEmpty())
        text += QLatin1Char(' ') + label1;
    if (!label2.isEmpty())
        text += QLatin1Char(' ') + label2;
    if (line > 0)
        text += QStringLiteral(" #") + QString::number(line);
    text += QLatin1Char(' ');
    if (format)
        text += QString::vasprintf(format, args);
    text = text.trimmed();

    if (!d->output.load())
        return text;
    const QString path = d->path();
    if (path.isEmpty())
        return text;
    if (d->immediate.load())
        d->writeNow(path, text.toUtf8());
    else
        Private::enqueue(d, text.toUtf8());
    return text;
}
