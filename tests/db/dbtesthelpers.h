// Helpers shared by the database tests: text files in a temporary directory
// and short-hands for running SQL and reading table layouts.
#pragma once

#include "tq2dbsqlite.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <ostream>

namespace dbtest {

// Writes `text` to `path` (UTF-8), replacing the file; false on failure.
bool writeText(const QString &path, const QString &text);

// Rows of `sql` run with `values`; failures show up as missing rows.
QList<QJsonObject> rowsOf(TQ2DBSqlite &db, const QString &sql,
                          const QJsonObject &values = QJsonObject());

// One "name|type|default" line per column of PRAGMA table_info, in order;
// an absent default reads as "-".
QStringList columnsOf(TQ2DBSqlite &db, const QString &table);

// The shipped resources.
inline QString engineResource() { return QStringLiteral(":/k7zfsrep/engine.sql"); }
inline QString creatorResource() { return QStringLiteral(":/k7zfsrep/creator.sql"); }

} // namespace dbtest

// Readable GoogleTest messages for Qt values (found by argument lookup).
void PrintTo(const QString &value, std::ostream *out);
void PrintTo(const QJsonValue &value, std::ostream *out);
void PrintTo(const QJsonObject &value, std::ostream *out);
