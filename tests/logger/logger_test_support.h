// Helpers shared by the logger tests: waiting for the writer thread and
// reading a log file with its backups.
#pragma once

#include "tq2logger.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <thread>

// True once no line is queued and no writer runs; false after `timeout`.
inline bool waitForIdle(const TQ2Logger &logger, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (logger.queuedCount() == 0 && !logger.isWriterRunning())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// Lines of backups 1, 2, ... (until the first missing one) and then of the
// log file: oldest first when backups were made without gaps.
inline QStringList readAllGenerations(const TQ2Logger &logger, int *backups = nullptr)
{
    QStringList lines;
    int n = 1;
    for (; QFileInfo::exists(logger.backupPath(n)); ++n)
        lines += QString::fromUtf8(readBytes(logger.backupPath(n))).split('\n', Qt::SkipEmptyParts);
    if (backups)
        *backups = n - 1;
    lines += QString::fromUtf8(readBytes(logger.filePath())).split('\n', Qt::SkipEmptyParts);
    return lines;
}
