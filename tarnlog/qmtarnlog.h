// The appliance's event log: one record per event of any of its services,
// kept in a SQLite file of its own ("/tarn/log/tarnlog.db" unless another
// path is given). Records come back as JSON objects with the fields "id",
// "time", "level", "message", "application", "module" and the three spare
// fields; "sparefield1" holds the detail object as JSON text. At most the
// newest 10,000 records are kept per application.
//
// Safe to use from several threads at once (the scheduler writes while RPC
// threads read and clear).
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <mutex>

struct sqlite3;

class QmTarnlog : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRecordsPerApplication = 10000;

    explicit QmTarnlog(QObject *parent = nullptr);
    explicit QmTarnlog(const QString &databasePath, QObject *parent = nullptr);
    ~QmTarnlog() override;

    QString databasePath() const { return path; }

    // Appends one record. A failure is not reported (the caller's outcome
    // stands); it is printed to standard error.
    void write(const QString &level, const QString &message, const QJsonObject &detail,
               const QString &application, const QString &module, const QString &sparefield2,
               const QString &sparefield3);
    // Every record of the application, newest first, appended to `records`.
    // False when the log could not be read (records untouched).
    bool loadByApp(QJsonArray &records, const QString &application);
    // Removes every record of the application; false when that failed.
    bool clearByApp(const QString &application);

private:
    bool ensureOpen();

    QString path;
    std::mutex mutex;
    sqlite3 *db = nullptr;
};
