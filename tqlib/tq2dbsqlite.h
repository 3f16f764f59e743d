// One SQLite database file and the statements the service runs on it.
//
// The object opens (or creates, running the creator text) the database file,
// keeps the statement catalogue loaded from the engine text (TQ2SqlCatalogue),
// runs catalogue statements by id with named values taken from a JSON object,
// returns rows as JSON objects, applies the numbered schema upgrade steps
// ("dbupgrade_v<version>_<step>") and offers explicit transactions.
//
// Every read-write connection runs in write-ahead-log mode with full
// synchronisation: a commit returns once its log record is on disk (one
// fsync), so a committed statement survives a power cut.
//
// `call` compiles a catalogue statement once per connection and reuses it;
// `exec` compiles its text every time (creator, version queries, ad-hoc
// texts). A kept statement whose tables changed is recompiled by SQLite on
// its next run; if that fails, the run fails like any statement that fails
// while running.
//
// Threads: one connection, opened in SQLite's serialized mode, is shared by
// every thread that calls `exec`/`call`; each statement runs with the
// connection's mutex held (a kept text with all its statements), so its
// error message, change count and last row id are its own. The catalogue is copied under a read lock and replaced under a
// write lock; no lock of this class is held while SQL runs. `open`,
// `openOnly`, `close` and `loadSqlCreator` are set-up calls: they must not run
// while another thread uses the object. The last error and the last statement
// id are kept per thread: each thread reads what its own calls left.
#pragma once

#include "tq2sqlrow.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

struct sqlite3;
class TQ2SqlStatement;

class TQ2DBSqlite
{
public:
    TQ2DBSqlite();
    // Waits for calls started by `callDetach` to finish, then closes.
    ~TQ2DBSqlite();
    Q_DISABLE_COPY(TQ2DBSqlite)

    // Opens the file, creating it when missing: a missing directory is made
    // ("mkdir -p", then "chmod 755" on it, outcomes ignored) and a new file
    // gets the kept creator text. `*created` is set to true only when a new
    // file was made. A new file whose creation fails is deleted; the last
    // error is "Not found creator ddl" when there was no creator text, else
    // SQLite's message. A file SQLite cannot open fails with the last error
    // unchanged. An empty path fails at once. After a failure the object is
    // closed with an empty path.
    //
    // The file, its write-ahead log and its shared-memory file are for the
    // owner only: a new file is created empty with mode 0600 (O_EXCL,
    // never through a link; "cannot create PATH: <reason>" when that
    // fails) before SQLite writes a byte, and an existing one others may
    // read is narrowed to its owner before SQLite opens it, since SQLite
    // gives the -wal and -shm files it creates the main file's mode.
    bool open(const QString &path, bool *created = nullptr);
    // As above, but a new file gets the creator read from `creatorPath`
    // (`loadSqlCreator`), and after every successful open the catalogue is
    // loaded from `enginePath`; that load does not change the result.
    bool open(const QString &path, const QString &enginePath, const QString &creatorPath,
              bool *created = nullptr);
    // Opens an existing file only (narrowed to its owner as above); never
    // creates one.
    bool openOnly(const QString &path);
    // Closes the connection if open. The path is kept.
    void close();
    bool isOpen() const;
    // The file of the last successful open; empty after a failed one.
    QString path() const;

    // Keeps the trimmed text of the file for the next creation. A file that
    // is missing or unreadable leaves the kept text unchanged, silently.
    void loadSqlCreator(const QString &path);
    QString sqlCreator() const;
    // Reads and parses the engine text at `path` (a file or a ":/" resource)
    // and replaces the catalogue. An empty path fails with the last error
    // "Not found engine ddl."; a missing or unreadable file fails silently.
    // The catalogue is unchanged on failure.
    bool loadSqlEngine(const QString &path);
    // The last engine text read by loadSqlEngine, trimmed.
    QString sqlSource() const;
    // A copy of the catalogue: id -> {"id", "text", "params"}.
    QJsonObject sqlEngine() const;
    static QStringList delSqlComments(const QString &text);

    // Runs every statement of `sql` in order, binding named parameters from
    // `values`, else from the defaults of `declared` (see TQ2SqlStatement).
    // Rows of all statements are appended to `rows`. A statement that fails
    // to compile stops the text; one that fails while running is skipped and
    // the rest still run; each failure sets the last error to SQLite's
    // message. True when at least one statement completed or returned a row;
    // `changes` and `lastId` (low 32 bits) then describe the last one that
    // completed, else they are 0. With no open connection nothing runs and
    // the result is false.
    bool exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
              const QJsonObject &values = QJsonObject(),
              const QJsonObject &declared = QJsonObject());
    bool exec(int &changes, int &lastId, const QString &sql,
              const QJsonObject &values = QJsonObject(),
              const QJsonObject &declared = QJsonObject());

    // Runs the catalogue statement `id` (exact, case-sensitive) with `exec`
    // and the statement's declared parameters. The last statement id becomes
    // `id` first. An unknown id fails with the last error
    // "sqlid not found: <id>". The forms without an argument drop it; the
    // QJsonArray forms append each row object to the array.
    bool call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &id,
              const QJsonObject &values);
    bool call(int &changes, int &lastId, const QString &id, const QJsonObject &values);
    bool call(const QString &id, const QJsonObject &values);
    bool call(QList<QJsonObject> &rows, const QString &id, const QJsonObject &values);
    bool call(int &changes, int &lastId, QJsonArray &rows, const QString &id,
              const QJsonObject &values);
    bool call(QJsonArray &rows, const QString &id, const QJsonObject &values);
    // As call(id, values), but each result row goes to `visit` as SQLite
    // holds it (no JSON object is built), with the connection's mutex held.
    bool call(const QString &id, const QJsonObject &values, const TQ2SqlRowVisitor &visit);
    // Runs call(id, values) on a new detached thread and forgets the outcome.
    // Does nothing while closed.
    void callDetach(const QString &id, const QJsonObject &values);

    // How many compiled texts `call` keeps for the open connection.
    int keptStatements() const;

    // "begin transaction", "commit transaction", "rollback transaction" on
    // the connection: true exactly when SQLite succeeds; false while closed.
    // The transaction covers statements of every thread until it ends.
    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

    // The "Database.Version" value of sys_configure; 0 when it cannot be read.
    int dbVersion();
    // Whether the catalogue has upgrade steps for `version`.
    bool dbUpgradable(int version) const;
    // Applies the steps of `version` in one transaction and sets the stored
    // version to version + 1. False (rolled back) when there is no step 1,
    // a step fails or the version row is missing.
    bool dbUpgrade(int version);
    // Applies every pending step from the stored version on, in one
    // transaction, and stores the first version without steps. False with
    // nothing changed when no step was pending or any of them failed.
    // The transaction takes the write lock first (BEGIN IMMEDIATE, waiting
    // up to the busy time-out) and reads the version under it, so two
    // processes never both upgrade; one that finds the work done has
    // nothing pending.
    bool dbUpgrades();
    // Why the last dbUpgrade/dbUpgrades failed although steps were pending,
    // e.g. "schema upgrade from version 3 failed: database is locked"; empty
    // when it succeeded or had nothing to do. The schema is then older than
    // the catalogue's statements expect: callers must not serve from it.
    // Set-up call, like open.
    QString upgradeFailure() const;

    // The calling thread's last error message: SQLite's or this class's own.
    // A success never clears it.
    QString lastError() const;
    // The id the calling thread last passed to `call`.
    QString lastSqlid() const;

private:
    struct ThreadState;
    ThreadState &threadState() const;
    void setLastError(const QString &message) const;
    // Records SQLite's message as the last error unless `code` is a success
    // code (OK, ROW, DONE); returns whether it was one.
    bool check(sqlite3 *db, int code) const;
    // One text compiled statement by statement as far as it compiled, kept
    // for the connection (see `call`).
    struct Kept;
    struct TextHash {
        size_t operator()(const QString &text) const;
    };
    // Rows go to `visit` when it is given, else to `rows`.
    bool runKept(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                 const QJsonObject &values, const QJsonObject &declared,
                 const TQ2SqlRowVisitor *visit = nullptr);
    bool runOne(sqlite3 *db, TQ2SqlStatement &statement, QList<QJsonObject> &rows,
                const QJsonObject &values, const QJsonObject &declared, int &changes, int &lastId,
                bool &succeeded, const TQ2SqlRowVisitor *visit = nullptr);
    void dropKept();
    bool openFile(const QString &path, const QString *creatorPath, bool *created);
    sqlite3 *connect(const QString &path, int flags) const;
    bool runFixed(const char *sql);
    bool runUpgradeSteps(const QJsonObject &catalogue, int version, int &ran);
    bool storeVersion(int version);

    const quint64 m_serial;
    std::atomic<sqlite3 *> m_db{nullptr};
    QString m_path;
    QString m_upgradeFailure;
    // Guarded by the connection's mutex; emptied by `close`.
    std::unordered_map<QString, std::unique_ptr<Kept>, TextHash> m_kept;

    mutable std::shared_mutex m_catalogueLock;
    QJsonObject m_catalogue;
    QString m_creator;
    QString m_source;

    std::mutex m_detachMutex;
    std::condition_variable m_detachDone;
    int m_detached = 0;
};
