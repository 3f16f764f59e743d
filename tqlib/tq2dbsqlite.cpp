#include "tq2dbsqlite.h"

#include "tq2dbsqlite_p.h"
#include "tq2sqlcatalogue.h"
#include "tq2sqlstatement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr int kBusyTimeoutMs = 5000;

std::atomic<quint64> g_nextSerial{1};

// Runs one short command and waits for it; its outcome is not needed.
void runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return;
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
    }
}

// The directory a new database file goes into:
// $ mkdir -p /tarn/etc/zfs      (only when it is missing)
// $ chmod 755 /tarn/etc/zfs
void prepareDirectory(const QString &directory)
{
    if (!QDir(directory).exists())
        runQuietly(QStringLiteral("mkdir"), {QStringLiteral("-p"), directory});
    runQuietly(QStringLiteral("chmod"), {QStringLiteral("755"), directory});
}

// Creates the empty file `path` with mode 0600 (never through a link, never
// over an existing file), so that the database's first byte is written to
// a file only its owner can read. An empty file is an empty database to
// SQLite. The system's reason when it cannot be made.
QString createPrivateFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    ::fchmod(fd, 0600); // whatever the umask left
    ::close(fd);
    return QString();
}

// Takes the group's and others' permissions off the database file and the
// write-ahead log and shared-memory files beside it, where they exist as
// regular files (links are left alone). SQLite gives the -wal and -shm files
// it creates the main file's permissions, so this precedes every open.
void narrowToOwner(const QString &path)
{
    for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            ::fchmod(fd, st.st_mode & 07700);
        ::close(fd);
    }
}

} // namespace

struct TQ2DBSqlite::ThreadState
{
    QString error;
    QString sqlid;
};

TQ2DBSqlite::TQ2DBSqlite() : m_serial(g_nextSerial.fetch_add(1)) {}

TQ2DBSqlite::~TQ2DBSqlite()
{
    {
        std::unique_lock<std::mutex> lock(m_detachMutex);
        m_detachDone.wait(lock, [this] { return m_detached == 0; });
    }
    close();
}

// Keyed by a serial number rather than the address, so that a new object at a
// reused address never shows a destroyed object's messages. Entries live as
// long as their thread.
TQ2DBSqlite::ThreadState &TQ2DBSqlite::threadState() const
{
    thread_local std::unordered_map<quint64, ThreadState> states;
    return states[m_serial];
}

void TQ2DBSqlite::setLastError(const QString &message) const
{
    threadState().error = message;
}

QString TQ2DBSqlite::lastError() const
{
    return threadState().error;
}

QString TQ2DBSqlite::lastSqlid() const
{
    return threadState().sqlid;
}

bool TQ2DBSqlite::check(sqlite3 *db, int code) const
{
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE)
        return true;
    setLastError(QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
    return false;
}

// ---- connection ------------------------------------------------------------

sqlite3 *TQ2DBSqlite::connect(const QString &path, int flags) const
{
    if (sqlite3_threadsafe() == 0) {
        setLastError(QStringLiteral("SQLite library is not thread-safe"));
        return nullptr;
    }
    sqlite3 *db = nullptr;
    const int code = sqlite3_open_v2(path.toUtf8().constData(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (code != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    if (!sqlite3_db_mutex(db)) { // mutexes switched off process-wide
        sqlite3_close_v2(db);
        setLastError(QStringLiteral("SQLite connection is not serialized"));
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (flags & SQLITE_OPEN_READWRITE) {
        // Write-ahead log, synchronised on every commit. A file that is no
        // database, or a file system without shared memory, keeps SQLite's
        // default journal: the open itself still behaves as before, and the
        // first statement reports what is wrong with the file.
        sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    }
    return db;
}

bool TQ2DBSqlite::open(const QString &path, bool *created)
{
    return openFile(path, nullptr, created);
}

bool TQ2DBSqlite::open(const QString &path, const QString &enginePath,
                       const QString &creatorPath, bool *created)
{
    if (!openFile(path, &creatorPath, created))
        return false;
    loadSqlEngine(enginePath);
    return true;
}

bool TQ2DBSqlite::openFile(const QString &path, const QString *creatorPath, bool *created)
{
    close();
    m_path.clear();
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    const bool existed = info.exists();
    if (existed) {
        narrowToOwner(path);
    } else {
        prepareDirectory(info.absolutePath());
        const QString failure = createPrivateFile(path);
        if (!failure.isEmpty()) {
            setLastError(failure);
            return false;
        }
    }
    sqlite3 *db = connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!db) {
        if (!existed)
            QFile::remove(path);
        return false;
    }
    m_db = db;
    if (existed) {
        m_path = path;
        return true;
    }

    if (creatorPath)
        loadSqlCreator(*creatorPath);
    const bool haveCreator = creatorPath ? !creatorPath->isEmpty() : !sqlCreator().isEmpty();
    if (!haveCreator) {
        setLastError(QStringLiteral("Not found creator ddl"));
    } else {
        int changes = 0;
        int lastId = 0;
        if (exec(changes, lastId, sqlCreator())) {
            if (created)
                *created = true;
            m_path = path;
            return true;
        }
    }
    close();
    QFile::remove(path);
    return false;
}

bool TQ2DBSqlite::openOnly(const QString &path)
{
    close();
    m_path.clear();
    if (!QFileInfo::exists(path))
        return false;
    narrowToOwner(path);
    sqlite3 *db = connect(path, SQLITE_OPEN_READWRITE);
    if (!db)
        return false;
    m_db = db;
    m_path = path;
    return true;
}

void TQ2DBSqlite::close()
{
    dropKept();
    if (sqlite3 *db = m_db.exchange(nullptr))
        sqlite3_close_v2(db);
}

bool TQ2DBSqlite::isOpen() const
{
    return m_db.load() != nullptr;
}

QString TQ2DBSqlite::path() const
{
    return m_path;
}

// ---- texts and catalogue ---------------------------------------------------

void TQ2DBSqlite::loadSqlCreator(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    const QString text = QString::fromUtf8(file.readAll()).trimmed();
    std::unique_lock<std::shared_mutex> lock(m_catalogueLock);
    m_creator = text;
}

QString TQ2DBSqlite::sqlCreator() const
{
    std::shared_lock<std::shared_mutex> lock(m_catalogueLock);
    return m_creator;
}

bool TQ2DBSqlite::loadSqlEngine(const QString &path)
{
    if (path.isEmpty()) {
        setLastError(QStringLiteral("Not found engine ddl."));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QString source = QString::fromUtf8(file.readAll()).trimmed();
    const QJsonObject catalogue = TQ2SqlCatalogue::parse(source);
    std::unique_lock<std::shared_mutex> lock(m_catalogueLock);
    m_source = source;
    m_catalogue = catalogue;
    return true;
}

QString TQ2DBSqlite::sqlSource() const
{
    std::shared_lock<std::shared_mutex> lock(m_catalogueLock);
    return m_source;
}

QJsonObject TQ2DBSqlite::sqlEngine() const
{
    std::shared_lock<std::shared_mutex> lock(m_catalogueLock);
    return m_catalogue;
}

QStringList TQ2DBSqlite::delSqlComments(const QString &text)
{
    return TQ2SqlCatalogue::delSqlComments(text);
}

// ---- statements ------------------------------------------------------------

bool TQ2DBSqlite::exec(int &changes, int &lastId, const QString &sql, const QJsonObject &values,
                       const QJsonObject &declared)
{
    QList<QJsonObject> rows;
    return exec(changes, lastId, rows, sql, values, declared);
}

bool TQ2DBSqlite::call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &id,
                       const QJsonObject &values)
{
    threadState().sqlid = id;
    QJsonObject entry;
    {
        std::shared_lock<std::shared_mutex> lock(m_catalogueLock);
        entry = m_catalogue.value(id).toObject();
    }
    if (entry.isEmpty()) {
        setLastError(QStringLiteral("sqlid not found: ") + id);
        return false;
    }
    return runKept(changes, lastId, rows, entry.value(QLatin1String("text")).toString(), values,
                   entry.value(QLatin1String("params")).toObject());
}

bool TQ2DBSqlite::call(int &changes, int &lastId, const QString &id, const QJsonObject &values)
{
    QList<QJsonObject> rows;
    return call(changes, lastId, rows, id, values);
}

bool TQ2DBSqlite::call(const QString &id, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return call(changes, lastId, id, values);
}

bool TQ2DBSqlite::call(QList<QJsonObject> &rows, const QString &id, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool TQ2DBSqlite::call(int &changes, int &lastId, QJsonArray &rows, const QString &id,
                       const QJsonObject &values)
{
    QList<QJsonObject> list;
    const bool result = call(changes, lastId, list, id, values);
    for (const QJsonObject &row : qAsConst(list))
        rows.append(row);
    return result;
}

bool TQ2DBSqlite::call(QJsonArray &rows, const QString &id, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool TQ2DBSqlite::call(const QString &id, const QJsonObject &values, const TQ2SqlRowVisitor &visit)
{
    threadState().sqlid = id;
    QJsonObject entry;
    {
        std::shared_lock<std::shared_mutex> lock(m_catalogueLock);
        entry = m_catalogue.value(id).toObject();
    }
    if (entry.isEmpty()) {
        setLastError(QStringLiteral("sqlid not found: ") + id);
        return false;
    }
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> unused;
    return runKept(changes, lastId, unused, entry.value(QLatin1String("text")).toString(), values,
                   entry.value(QLatin1String("params")).toObject(), &visit);
}

void TQ2DBSqlite::callDetach(const QString &id, const QJsonObject &values)
{
    if (!isOpen())
        return;
    {
        std::lock_guard<std::mutex> lock(m_detachMutex);
        ++m_detached;
    }
    auto finished = [this] {
        std::lock_guard<std::mutex> lock(m_detachMutex);
        if (--m_detached == 0)
            m_detachDone.notify_all();
    };
    try {
        std::thread([this, id, values, finished] {
            call(id, values);
            finished();
        }).detach();
    } catch (const std::system_error &) {
        finished(); // no thread could be started; the call is dropped
    }
}

// ---- transactions ----------------------------------------------------------

bool TQ2DBSqlite::runFixed(const char *sql)
{
    sqlite3 *db = m_db.load();
    if (!db)
        return false;
    const TQ2ConnectionLock lock(db);
    return check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

bool TQ2DBSqlite::transactionBegin() { return runFixed("begin transaction"); }
bool TQ2DBSqlite::transactionCommit() { return runFixed("commit transaction"); }
bool TQ2DBSqlite::transactionRollback() { return runFixed("rollback transaction"); }
