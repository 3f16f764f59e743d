// Statement running of TQ2DBSqlite: the executor of texts, and the texts
// that `call` compiles once and keeps for the connection.
#include "tq2dbsqlite.h"

#include "tq2dbsqlite_p.h"
#include "tq2sqlstatement.h"

#include <sqlite3.h>

namespace {

const char *skipSpace(const char *from, const char *end)
{
    while (from < end && (*from == ' ' || *from == '\t' || *from == '\n' || *from == '\r'
                          || *from == '\v' || *from == '\f'))
        ++from;
    return from;
}

} // namespace

size_t TQ2DBSqlite::TextHash::operator()(const QString &text) const
{
    return qHash(text);
}

void TQ2DBSqlite::dropKept()
{
    sqlite3 *db = m_db.load();
    if (!db) {
        m_kept.clear();
        return;
    }
    const TQ2ConnectionLock lock(db);
    m_kept.clear();
}

int TQ2DBSqlite::keptStatements() const
{
    sqlite3 *db = m_db.load();
    if (!db)
        return 0;
    const TQ2ConnectionLock lock(db);
    return int(m_kept.size());
}

// Binds, steps and resets one compiled statement: rows are appended, and a
// run that completes (or produced rows) updates `changes` and `lastId`.
bool TQ2DBSqlite::runOne(sqlite3 *db, TQ2SqlStatement &statement, QList<QJsonObject> &rows,
                         const QJsonObject &values, const QJsonObject &declared, int &changes,
                         int &lastId, bool &succeeded, const TQ2SqlRowVisitor *visit)
{
    statement.bind(values, declared);
    int code = statement.step();
    if (code == SQLITE_ROW && visit) {
        do {
            (*visit)(statement.current());
            succeeded = true;
        } while ((code = statement.step()) == SQLITE_ROW);
    } else if (code == SQLITE_ROW) {
        statement.readColumns();
        do {
            rows.append(statement.filledRow());
            succeeded = true;
        } while ((code = statement.step()) == SQLITE_ROW);
    }
    const bool completed = check(db, code);
    if (completed || succeeded) {
        changes = sqlite3_changes(db);
        lastId = static_cast<int>(sqlite3_last_insert_rowid(db));
    }
    statement.reset();
    succeeded = succeeded || completed;
    return completed;
}

bool TQ2DBSqlite::exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                       const QJsonObject &values, const QJsonObject &declared)
{
    changes = 0;
    lastId = 0;
    sqlite3 *db = m_db.load();
    if (!db) {
        setLastError(QStringLiteral("database is not open"));
        return false;
    }
    const QByteArray text = sql.toUtf8().trimmed();
    const char *next = text.constData();
    const char *const end = next + text.size();
    bool succeeded = false;
    while (next < end) {
        const TQ2ConnectionLock lock(db);
        TQ2SqlStatement statement;
        const char *tail = end;
        if (!check(db, statement.prepare(db, next, int(end - next), &tail)))
            return succeeded;
        if (tail <= next) // no progress; cannot happen after a successful compile
            break;
        next = skipSpace(tail, end);
        if (statement.isNull()) // only comments were left
            continue;
        runOne(db, statement, rows, values, declared, changes, lastId, succeeded);
    }
    return succeeded;
}

// As `exec`, with the text's statements compiled once and kept: a later run
// of the same text steps the kept statements and compiles only what an
// earlier run did not reach (a text stops at a statement that fails to
// compile, and that statement is tried again next time).
bool TQ2DBSqlite::runKept(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                          const QJsonObject &values, const QJsonObject &declared,
                          const TQ2SqlRowVisitor *visit)
{
    changes = 0;
    lastId = 0;
    sqlite3 *db = m_db.load();
    if (!db) {
        setLastError(QStringLiteral("database is not open"));
        return false;
    }
    const TQ2ConnectionLock lock(db);
    std::unique_ptr<Kept> &slot = m_kept[sql];
    if (!slot) {
        slot = std::make_unique<Kept>();
        slot->text = sql.toUtf8().trimmed();
    }
    Kept &kept = *slot;
    bool succeeded = false;
    for (const std::unique_ptr<TQ2SqlStatement> &statement : kept.statements)
        runOne(db, *statement, rows, values, declared, changes, lastId, succeeded, visit);
    const char *const begin = kept.text.constData();
    const char *const end = begin + kept.text.size();
    while (begin + kept.compiledTo < end) {
        const char *next = begin + kept.compiledTo;
        auto statement = std::make_unique<TQ2SqlStatement>();
        const char *tail = end;
        if (!check(db, statement->prepare(db, next, int(end - next), &tail)))
            return succeeded;
        if (tail <= next)
            break;
        kept.compiledTo = int(skipSpace(tail, end) - begin);
        if (statement->isNull())
            continue;
        runOne(db, *statement, rows, values, declared, changes, lastId, succeeded, visit);
        kept.statements.push_back(std::move(statement));
    }
    return succeeded;
}
