#include "qmtarnlog.h"

#include <QCalendar>
#include <QLocale>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <sqlite3.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>

namespace {

const char *const kDefaultPath = "/tarn/log/tarnlog.db";

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS t_event ("
    " evt_id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " evt_time TEXT NOT NULL,"
    " evt_level TEXT NOT NULL DEFAULT '',"
    " evt_message TEXT NOT NULL DEFAULT '',"
    " evt_application TEXT NOT NULL DEFAULT '',"
    " evt_module TEXT NOT NULL DEFAULT '',"
    " evt_sparefield1 TEXT NOT NULL DEFAULT '',"
    " evt_sparefield2 TEXT NOT NULL DEFAULT '',"
    " evt_sparefield3 TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS t_event_app__index ON t_event(evt_application, evt_id);";

struct StatementDeleter {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement prepare(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        return Statement();
    return Statement(statement);
}

void bindText(sqlite3_stmt *statement, int index, const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    sqlite3_bind_text(statement, index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(statement, column)) : QString();
}

void report(sqlite3 *db, const char *what)
{
    std::fprintf(stderr, "tarnlog: %s: %s\n", what, db ? sqlite3_errmsg(db) : "no database");
}

} // namespace

QmTarnlog::QmTarnlog(QObject *parent) : QmTarnlog(QString::fromLatin1(kDefaultPath), parent) {}

QmTarnlog::QmTarnlog(const QString &databasePath, QObject *parent) : QObject(parent), path(databasePath)
{
    // Qt 5.15 sets its calendar registry up on first use without a lock;
    // time stamps formatted on several threads during that set-up come out
    // empty. Set it up now, on the constructing thread.
    QCalendar();
}

QmTarnlog::~QmTarnlog()
{
    if (db)
        sqlite3_close(db);
}

bool QmTarnlog::ensureOpen()
{
    if (db)
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    // The log holds hosts, paths and outcomes of every service: readable by
    // root only. Created 0600 before SQLite opens it (its journal files take
    // the database's mode), and a file left 0644 by an older version is
    // narrowed.
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
    sqlite3 *handle = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.toUtf8().constData(), &handle, flags, nullptr) != SQLITE_OK) {
        report(handle, "open");
        sqlite3_close(handle);
        return false;
    }
    sqlite3_busy_timeout(handle, 5000);
    if (sqlite3_exec(handle, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        report(handle, "schema");
        sqlite3_close(handle);
        return false;
    }
    db = handle;
    return true;
}

void QmTarnlog::write(const QString &level, const QString &message, const QJsonObject &detail,
                      const QString &application, const QString &module, const QString &sparefield2,
                      const QString &sparefield3)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!ensureOpen())
        return;
    Statement insert = prepare(db,
                               "INSERT INTO t_event(evt_time, evt_level, evt_message, evt_application,"
                               " evt_module, evt_sparefield1, evt_sparefield2, evt_sparefield3)"
                               " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8);");
    if (!insert) {
        report(db, "write");
        return;
    }
    bindText(insert.get(), 1, QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    bindText(insert.get(), 2, level);
    bindText(insert.get(), 3, message);
    bindText(insert.get(), 4, application);
    bindText(insert.get(), 5, module);
    bindText(insert.get(), 6, QString::fromUtf8(QJsonDocument(detail).toJson(QJsonDocument::Compact)));
    bindText(insert.get(), 7, sparefield2);
    bindText(insert.get(), 8, sparefield3);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) {
        report(db, "write");
        return;
    }
    Statement trim = prepare(db,
                             "DELETE FROM t_event WHERE evt_application = ?1 AND evt_id <= ("
                             " SELECT evt_id FROM t_event WHERE evt_application = ?1"
                             " ORDER BY evt_id DESC LIMIT 1 OFFSET ?2);");
    if (!trim) {
        report(db, "trim");
        return;
    }
    bindText(trim.get(), 1, application);
    sqlite3_bind_int(trim.get(), 2, kMaxRecordsPerApplication);
    if (sqlite3_step(trim.get()) != SQLITE_DONE)
        report(db, "trim");
}

bool QmTarnlog::loadByApp(QJsonArray &records, const QString &application)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!ensureOpen())
        return false;
    Statement select = prepare(db,
                               "SELECT evt_id, evt_time, evt_level, evt_message, evt_application, evt_module,"
                               " evt_sparefield1, evt_sparefield2, evt_sparefield3 FROM t_event"
                               " WHERE evt_application = ?1 ORDER BY evt_id DESC;");
    if (!select) {
        report(db, "load");
        return false;
    }
    bindText(select.get(), 1, application);
    QJsonArray loaded;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        loaded.append(QJsonObject{
            {QStringLiteral("id"), sqlite3_column_int64(select.get(), 0)},
            {QStringLiteral("time"), columnText(select.get(), 1)},
            {QStringLiteral("level"), columnText(select.get(), 2)},
            {QStringLiteral("message"), columnText(select.get(), 3)},
            {QStringLiteral("application"), columnText(select.get(), 4)},
            {QStringLiteral("module"), columnText(select.get(), 5)},
            {QStringLiteral("sparefield1"), columnText(select.get(), 6)},
            {QStringLiteral("sparefield2"), columnText(select.get(), 7)},
            {QStringLiteral("sparefield3"), columnText(select.get(), 8)},
        });
    }
    if (rc != SQLITE_DONE) {
        report(db, "load");
        return false;
    }
    for (const QJsonValue &record : loaded)
        records.append(record);
    return true;
}

bool QmTarnlog::clearByApp(const QString &application)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!ensureOpen())
        return false;
    Statement remove = prepare(db, "DELETE FROM t_event WHERE evt_application = ?1;");
    if (!remove) {
        report(db, "clear");
        return false;
    }
    bindText(remove.get(), 1, application);
    if (sqlite3_step(remove.get()) != SQLITE_DONE) {
        report(db, "clear");
        return false;
    }
    return true;
}
