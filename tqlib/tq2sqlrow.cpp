#include "tq2sqlrow.h"

#include <sqlite3.h>

int TQ2SqlRow::columns() const
{
    return sqlite3_column_count(stmt);
}

const char *TQ2SqlRow::name(int column) const
{
    return sqlite3_column_name(stmt, column);
}

TQ2SqlRow::Type TQ2SqlRow::type(int column) const
{
    return Type(sqlite3_column_type(stmt, column));
}

int TQ2SqlRow::integer(int column) const
{
    return sqlite3_column_int(stmt, column);
}

double TQ2SqlRow::real(int column) const
{
    return sqlite3_column_double(stmt, column);
}

const char *TQ2SqlRow::text(int column, int &size) const
{
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    size = sqlite3_column_bytes(stmt, column);
    return bytes ? bytes : "";
}
