// The check of the service's configuration object at start: every key this
// service reads, with its type and range, and the keys it knows without
// reading them here. A value of the wrong type or out of its range and an
// unknown key (a typo) each give one warning line naming key and value; the
// bad value is dropped so the part that reads it keeps its default. Pure.
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

namespace ConfigCheck {

// What a key holds.
enum class Kind {
    Text,      // a JSON string
    Flag,      // true/false, a number, or "yes", "no", "on", "off", ...
    Whole,     // a whole number (or its text) within [least, most]
    Limit,     // a server limit: checked and warned about where it is read
    Unparsed,  // known here, read and checked by its own part
};

struct Key {
    const char *name;
    Kind kind;
    qint64 least = 0;
    qint64 most = 0;
    const char *defaultText = ""; // the default kept, as the warning names it
};

// A whole number from a JSON number or its decimal text; false for anything
// else (a fraction, a word, a number past 9e15).
bool wholeOf(const QJsonValue &value, qint64 &out);

// Every configuration key of the service, in the order the manual lists them.
const QList<Key> &keys();

// `config` without the values that would be misread, and in `warnings` one
// line per dropped value or unknown key, e.g.
//   stalltimeout: "abc" is not a whole number; the default 600 is kept
//   stalltimout: unknown key, ignored (did you mean stalltimeout?)
QJsonObject checked(const QJsonObject &config, QStringList &warnings);

} // namespace ConfigCheck
