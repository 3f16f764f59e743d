// The framework's file logger. `write` formats one line
//     2024-05-01 12:00:00 Info main.cpp main #42 started
// (local time, level name, two optional labels, optional source line, the
// printf-style message) and appends it to the log file, either at once on the
// caller's thread (immediate mode) or through a lock-free queue drained by a
// writer thread that exists only while lines are waiting (queued mode). When
// the file would grow past `maxSize` it is renamed to a numbered backup
// (for /var/log/svc.log backup 1 is /var/log/svc.1.log; higher numbers are
// newer; at most `backupCount` are kept).
//
// A process-wide registry remembers every logger and the current one: a new
// logger becomes current; destroying one makes the most recently created
// remaining logger current.
//
// Threads: every method may be called from any thread. The logger must not be
// destroyed while another thread is inside one of its methods. A writer thread
// still running when the logger is destroyed keeps the shared state alive,
// stops after its current line and then frees the lines left in the queue.
// Errors (a directory that cannot be made, a file that cannot be opened, a
// failed rename) are never reported: the line is dropped.
#pragma once

#include <QObject>
#include <QString>

#include <cstdarg>
#include <memory>

class TQ2Logger : public QObject
{
    Q_OBJECT
public:
    // Level words of a log line. Values 6 to 10 have no name and print none.
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13,
    };
    Q_ENUM(LogLevel)

    // Empty path (nothing is written), max size 10 MiB, 10 backups, output
    // on, immediate mode. Registers the logger and makes it current.
    explicit TQ2Logger(QObject *parent = nullptr);
    // Drains nothing; unregisters the logger.
    ~TQ2Logger() override;

    // The current logger; null when none exists.
    static TQ2Logger *i();
    void setCurrentInstance();

    QString filePath() const;
    void setFilePath(const QString &path);
    // Bytes; 0 or less disables rotation.
    qint64 maxSize() const;
    void setMaxSize(qint64 bytes);
    // Values below 1 act as 1 when a backup is made.
    int backupCount() const;
    void setBackupCount(int count);
    bool output() const;
    void setOutput(bool on);
    bool immediate() const;
    void setImmediate(bool on);

    // Lines queued and not yet taken by the writer thread.
    int queuedCount() const;
    // True while a writer thread drains the queue.
    bool isWriterRunning() const;

    // Path of backup `n` of the current file path: D/B.n.S, or D/B.n. when
    // the file name has no suffix. Empty when no path is set.
    QString backupPath(int n) const;
    // Deletes the log file and backups 1 to backupCount.
    void clean();

    // Formats one line from `format` (printf-style, UTF-8, as
    // QString::asprintf understands it) and its arguments and, when output is
    // on and a path is set, writes or queues it. Returns the line in every
    // case. `level` need not be a named LogLevel; `line` <= 0 prints no
    // " #line".
    QString write(int level, const QString &label1, const QString &label2, int line,
                  const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(6, 7);
    QString vwrite(int level, const QString &label1, const QString &label2, int line,
                   const char *format, va_list args) Q_ATTRIBUTE_FORMAT_PRINTF(6, 0);

private:
    struct Private;
    std::shared_ptr<Private> d;
};
