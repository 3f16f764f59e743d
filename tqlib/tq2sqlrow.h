// A read-only view of the current result row of a running statement, handed
// to a row visitor (TQ2DBSqlite::call with a TQ2SqlRowVisitor) so that a
// reader can take the column values as SQLite holds them, without building a
// JSON object per row. Valid only during the visitor's call; the column
// conventions are those of TQ2SqlStatement::row (names lower-cased by the
// caller, INTEGER read through the 32-bit accessor).
#pragma once

#include <QtGlobal>

#include <functional>

struct sqlite3_stmt;

class TQ2SqlRow
{
public:
    enum Type { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 }; // SQLite's codes

    explicit TQ2SqlRow(sqlite3_stmt *statement) : stmt(statement) {}

    int columns() const;
    // The column's name as the statement gives it (UTF-8, not lower-cased).
    const char *name(int column) const;
    Type type(int column) const;
    // The low 32 bits, signed, as TQ2SqlStatement::row reads it.
    int integer(int column) const;
    double real(int column) const;
    // The text's UTF-8 bytes and their count; valid until the next step.
    const char *text(int column, int &size) const;

private:
    sqlite3_stmt *stmt;
};

// Called once per result row, with the connection's mutex held: it must not
// use the database.
using TQ2SqlRowVisitor = std::function<void(const TQ2SqlRow &)>;
