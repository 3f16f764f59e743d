// Conversion helpers for loosely typed JSON: numbers that may arrive as text,
// flags that may arrive as words, JSON documents held in text. Every function
// is reentrant, never throws and answers malformed input with a neutral value
// (0, false, an empty object or array) instead of an error.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// Integer of a JSON value: a number is truncated toward zero (clamped to the
// range of the result), a bool gives 1 or 0, a string is read as base 10 and
// then as base 16 ("0x" allowed, so "1e3" is 483), anything else gives 0.
int toInt(const QJsonValue &value);
// As above, but a value that is not a number, bool or string gives `def`.
// A string that is no number still gives 0.
int toInt(const QJsonValue &value, int def);
qint64 toInt64(const QJsonValue &value);

// A text is true when it reads as a base-10 integer above 0, or equals one of
// "true", "yes", "on", "ok", "y", "t" ignoring case. It is not trimmed.
bool toBool(const QString &text);
// A bool is itself, a number is true above 0.0, a string follows the text
// rule, every other kind is false.
bool toBool(const QJsonValue &value);
inline bool isTrue(const QString &text) { return toBool(text); }
inline bool isTrue(const QJsonValue &value) { return toBool(value); }

// Parse one JSON document; a parse error or a document of the other kind
// yields an empty result.
QJsonObject toJsonObject(const QByteArray &bytes);
QJsonObject toJsonObject(const QString &text);
QJsonArray toJsonArray(const QByteArray &bytes);
QJsonArray toJsonArray(const QString &text);

// Shallow merge: a copy of `a` with every member of `b` inserted over it.
QJsonObject jsonMerge(const QJsonObject &a, const QJsonObject &b);

// A size text such as "2G", "1.5m", "10 GiB", "512k" or "1048576" in MiB,
// truncated toward zero. Units are powers of 1024; text that is no number is 0.
qint64 toSizeMB(const QString &text);

// Every element read with toInt, sorted ascending, duplicates kept.
QList<int> toSortList(const QJsonArray &array);
