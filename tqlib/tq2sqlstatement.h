// One compiled SQLite statement, owned: compiled by `prepare`, finalized by the
// destructor. It binds named parameters from a JSON object and turns result
// rows into JSON objects, the two conversions every catalogue statement of
// TQ2DBSqlite goes through.
//
// A statement is compiled once and run many times: `bind` clears the values of
// the previous run, `reset` ends a run so that the statement holds no read
// transaction between runs.
//
// Not locked: one statement is used by one thread at a time. The caller
// serialises use of the connection around it (TQ2DBSqlite holds the
// connection's mutex for the whole run).
#pragma once

#include "tq2sqlrow.h"

#include <QJsonObject>
#include <QtGlobal>

#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class TQ2SqlStatement
{
public:
    TQ2SqlStatement() = default;
    ~TQ2SqlStatement();
    Q_DISABLE_COPY(TQ2SqlStatement)

    // Compiles the first statement of the `bytes` bytes at `sql`; `*tail`
    // points behind it. Any statement held before is finalized first. Returns
    // SQLite's result code; on SQLITE_OK the statement may still be null when
    // the text held only white space or comments.
    int prepare(sqlite3 *db, const char *sql, int bytes, const char **tail);
    bool isNull() const { return m_stmt == nullptr; }

    // Binds every parameter by its name without the leading ":" or "@".
    // A value in `values` binds by its JSON type: a bool as integer 0/1; a
    // number that is a whole value within 32 bits as a 64-bit integer, any
    // other number as a real; a string as UTF-8 text (copied by SQLite); null,
    // array and object bind nothing. A name missing from `values` but present
    // in `declared` binds the default of its declared type: "string"/"text"
    // empty text, "int"/"integer"/"double" integer 0, anything else nothing.
    // Unbound parameters stay NULL, also when an earlier run bound them.
    void bind(const QJsonObject &values, const QJsonObject &declared);

    // sqlite3_step's result code.
    int step();
    // Ends the current run (sqlite3_reset); the compiled statement stays.
    void reset();

    // The current row: one key per column, the column's name lower-cased.
    // REAL gives a number, TEXT a string (UTF-8), INTEGER a number read
    // through the 32-bit accessor (the low 32 bits, signed); NULL and BLOB
    // give no key. Of two columns with one name the later one that has a
    // value wins.
    QJsonObject row() const;

    // Reads the column names of the current run once, into a blank row that
    // `filledRow` copies: call it after the first SQLITE_ROW of a run.
    void readColumns();
    // The current row exactly as `row` gives it, made by filling the values
    // into a copy of the blank row instead of inserting key by key.
    QJsonObject filledRow() const;
    // The current row as a view for a row visitor.
    TQ2SqlRow current() const { return TQ2SqlRow(m_stmt); }

private:
    sqlite3_stmt *m_stmt = nullptr;
    QJsonObject m_blank;     // every key of the run, each null
    std::vector<int> m_slot; // column -> position of its key in m_blank
};
