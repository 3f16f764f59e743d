// The statement catalogue's text format: pure functions that turn the engine
// text (statements under "SQL: <id>" headers, optional "params:" declarations)
// into the catalogue object TQ2DBSqlite runs statements from.
//
// Catalogue: id (lower case) -> {"id", "text", "params"}; "params" maps a
// parameter name without its ":"/"@" to its declared type, lower case.
//
// Example of the format:
//   SQL: mission_acquit
//   SELECT msn_no AS msnno FROM t_mission WHERE msn_no = @msnno LIMIT 1;
//   params:
//   msnno integer
//
// All functions are reentrant and never fail.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

class TQ2SqlCatalogue
{
public:
    // The built-in entries every catalogue starts from: configure_alload,
    // configure_get, configure_change, configure_append (no "id" member).
    static QJsonObject defaults();

    // Splits at "\n" dropping empty pieces, cuts each line at its first "--"
    // (even inside a quoted literal) and trims it. Lines that become empty are
    // kept as empty strings.
    static QStringList delSqlComments(const QString &text);

    // The built-in entries plus every entry of `text`, a later entry replacing
    // an earlier one (or a built-in one) with the same id. Header words are
    // matched in any letter case; a header with an empty id, or a statement
    // with no text, makes no entry; every "@" of a statement's text becomes
    // ":". No SQL is checked here.
    static QJsonObject parse(const QString &text);
};
