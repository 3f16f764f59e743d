// The subcommands' part of zfsrepctl's manual page, written from the same
// table as --help: help2man reads the rest of --help well but would take a
// subcommand's indented flags for options of zfsrepctl itself. Pure.
#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace ManPage {

// Text escaped for roff: backslashes and hyphens escaped, a line that
// starts with "." or "'" guarded.
QString escaped(const QString &text);

// A help2man include section "[SUBCOMMANDS]" with one .TP entry per
// (name, summary): the summary's first line in bold, the rest as it is laid
// out (no filling), one indentation level less.
QString subcommandsSection(const QList<QPair<QString, QString>> &subcommands);

} // namespace ManPage
