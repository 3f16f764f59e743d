// What zfsrepctl prints, made safe for the terminal that shows it: the
// service's answers carry texts from elsewhere (a remote host's error, a
// tool's message), and none of their control characters reaches the
// screen. Human output has them spelled out ("\x1b"); JSON output has them
// as JSON escapes ("\u001b", DEL and C1 included, which Qt writes raw) and
// every stored password masked. --raw alone prints an answer as it came.
#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace SafeOutput {

// `text` with every control character but tab and newline written out:
// C0 and DEL as "\xHH", C1 as "\u00HH"; a backslash itself stays as it is.
// Pure.
QString escaped(const QString &text);

// JSON text (UTF-8, as QJsonDocument writes it) with DEL and the C1
// characters, which Qt leaves raw, written as "\u007f" and "\u0080" to
// "\u009f". Still the same JSON value. Pure.
QByteArray escapedJson(const QByteArray &json);

// An answer as zfsrepctl prints it: every stored password masked and
// control characters escaped, or, when `raw`, exactly as it came. Pure.
QByteArray answerJson(const QJsonObject &answer, QJsonDocument::JsonFormat format, bool raw);

// Writes `text` escaped to standard output in the locale's encoding.
void printText(const QString &text);
// Writes "zfsrepctl: MESSAGE" escaped, and a newline, to standard error.
void printError(const QString &message);
// Writes answerJson() to standard output (compact answers end in a
// newline, as indented ones do).
void printAnswer(const QJsonObject &answer, QJsonDocument::JsonFormat format, bool raw);

} // namespace SafeOutput
