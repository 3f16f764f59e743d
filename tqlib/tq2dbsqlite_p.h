// Internal to TQ2DBSqlite's source files.
#pragma once

#include "tq2dbsqlite.h"
#include "tq2sqlstatement.h"

#include <QByteArray>
#include <QtGlobal>

#include <memory>
#include <sqlite3.h>
#include <vector>

// Holds one connection's own mutex (a recursive mutex in serialized mode), so
// that a statement's error message, change count and last row id are read
// before another thread's statement can replace them.
class TQ2ConnectionLock
{
public:
    explicit TQ2ConnectionLock(sqlite3 *db) : m_mutex(sqlite3_db_mutex(db)) { sqlite3_mutex_enter(m_mutex); }
    ~TQ2ConnectionLock() { sqlite3_mutex_leave(m_mutex); }
    Q_DISABLE_COPY(TQ2ConnectionLock)

private:
    sqlite3_mutex *m_mutex;
};

// One text compiled statement by statement as far as it compiled.
struct TQ2DBSqlite::Kept
{
    QByteArray text;                                    // the UTF-8 text, trimmed
    std::vector<std::unique_ptr<TQ2SqlStatement>> statements; // compiled, in order
    int compiledTo = 0; // offset of the first byte not compiled yet
};
