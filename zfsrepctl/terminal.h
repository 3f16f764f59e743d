// Terminal facts zfsrepctl adapts to: how many columns a line may use, how
// wide a text is on screen, and whether the user pressed Ctrl-C.
#pragma once

#include <QByteArray>
#include <QString>

// Width used when neither the terminal nor $COLUMNS tells one.
constexpr int kFallbackColumns = 100;
// Below this a view cannot say anything useful; narrower widths are raised.
constexpr int kMinimumColumns = 20;

// The width to draw in: the terminal's own column count when positive, else
// a positive whole number in `columnsEnv` ($COLUMNS), else `fallback`.
// Never below kMinimumColumns. Pure.
int chooseColumns(int terminalColumns, const QByteArray &columnsEnv, int fallback);

// chooseColumns() with the column count of standard output's terminal
// (TIOCGWINSZ; 0 when it is no terminal) and $COLUMNS.
int outputColumns();

// Columns `text` takes on a terminal: wide (East Asian) characters count
// two, combining marks none (wcwidth of the current locale; a character it
// does not know counts one).
int textColumns(const QString &text);

// `text` cut to at most `width` columns; a cut text ends in "...".
QString fitText(const QString &text, int width);

// `text` shortened to at most `width` columns by replacing its middle with
// "...", so that both ends stay readable (paths, routes).
QString elideMiddle(const QString &text, int width);

// From now on the first SIGINT only sets a flag (a second one ends the
// program as usual). Main thread, once.
void catchInterrupt();
bool isInterrupted();

// Sleeps `ms` milliseconds in short steps; false as soon as SIGINT arrived.
bool pauseUnlessInterrupted(int ms);
