// Writes JSON text piece by piece into a byte buffer, byte for byte as
// QJsonDocument(...).toJson(QJsonDocument::Compact) writes the same values:
// strings escaped the same way (", \, \b \f \n \r \t, other control
// characters as \u00xx, everything else as UTF-8), whole numbers in decimal,
// other values through Qt's own writer. It lets a producer of a large answer
// write its text straight from stored values without building the JSON value
// first. The caller puts the structure ({ } [ ] , :) in with `raw`; keys of
// an object must come in the order QJsonObject keeps them (sorted).
//
// A plain helper over a buffer the caller owns; one thread at a time.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

class TQ2JsonWriter
{
public:
    // `out` must outlive the writer; text is appended to it.
    explicit TQ2JsonWriter(QByteArray &out) : out(out) {}

    void raw(char c) { out.append(c); }
    void raw(const char *text) { out.append(text); }
    void raw(const QByteArray &text) { out.append(text); }
    // A string given as UTF-8 bytes, as Qt writes QString::fromUtf8(bytes):
    // invalid sequences become U+FFFD and a leading byte-order mark is
    // dropped, as that conversion does. A NUL byte is text like any other
    // (\u0000).
    void string(const char *utf8, int size);
    void string(const QString &text);
    // "key": with the colon.
    void key(const char *latin1);
    void integer(qint64 value);
    // Any value; undefined writes as null, as Qt writes it inside an array.
    void value(const QJsonValue &value);

private:
    // True when `utf8` is well-formed UTF-8 that QString::fromUtf8 keeps as
    // it is (no byte-order mark in front), so its bytes may be copied.
    static bool keptByQt(const char *utf8, int size);

    QByteArray &out;
};
