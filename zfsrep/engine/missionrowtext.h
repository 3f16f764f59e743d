// The JSON text of one mission of the listing, written from its stored row
// (TQ2SqlRow of statement "mission_alload") with the listing's fields merged
// in: "schedules" as an array, the running mission's live figures and the
// run fields. The text is byte for byte what QJsonDocument writes (compact)
// for the object MissionListing::list builds for the row: the same keys in
// QJsonObject's (sorted) order, the same values.
//
// Two steps: `render` turns a row's stored values into text once (kept in
// RowTexts, which can outlive the statement), `write` merges that text with
// the fields that change between listings. The object learns the statement's
// columns from the first row it sees and keeps them; it is used by one thread
// at a time. The array text of each distinct schedules text is kept for the
// whole process (a memo shared by every listing, locked).
#pragma once

#include "tq2sqlrow.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <utility>
#include <vector>

class MissionRowText
{
public:
    // What the listing adds to every row.
    struct RunFields {
        QString state;
        qint64 nextrun = 0;
        qint64 lastrun = 0;
        QString lastresult;
        QString lasterror;
        QString waitreason; // why a waiting mission waits; no key when empty
    };

    // The stored values of rows as text, row after row: the text of key k
    // of the layout for row r spans [ends[r * keys + k - 1], ends[r * keys + k])
    // of `text` (the first key of the first row starts at 0). An empty span
    // is a value the row does not have.
    struct RowTexts {
        QByteArray text;
        std::vector<int> ends;
    };

    MissionRowText() = default;

    // A column's value as TQ2SqlStatement::row gives it (undefined for NULL,
    // BLOB or a missing column).
    QJsonValue value(const TQ2SqlRow &row, const char *key);
    // Appends the row's stored values to `texts`.
    void render(RowTexts &texts, const TQ2SqlRow &row);
    // Appends the object of row `index` of `texts`; `progress` is the
    // running mission's live figures when this row's mission runs, else null.
    // Only after `render` has seen a row.
    void write(QByteArray &out, const RowTexts &texts, int index, const RunFields &fields,
               const QJsonObject *progress) const;

    // The live figures a running mission's row shows.
    static const char *const kLiveKeys[5];

private:
    enum Kind { Column, Schedules, State, Nextrun, Lastrun, Lastresult, Lasterror, Waitreason, Live };
    struct Entry {
        QString key;
        QByteArray keyText; // "key":
        Kind kind = Column;
        std::vector<int> columns; // holding the key, last first
    };

    void learnColumns(const TQ2SqlRow &row);
    // The last of `columns` that holds a value, or -1; its type to `found`.
    static int valued(const TQ2SqlRow &row, const std::vector<int> &columns, TQ2SqlRow::Type *found = nullptr);
    // Writes the value of `column`, of type `type` (INTEGER, FLOAT or TEXT).
    static void writeColumn(QByteArray &out, const TQ2SqlRow &row, int column, TQ2SqlRow::Type type);
    const QByteArray &schedulesText(const TQ2SqlRow &row, const std::vector<int> &columns);

    std::vector<Entry> entries; // in key order
    QHash<QString, std::vector<int>> byKey;
    std::vector<std::pair<const char *, std::vector<int>>> asked; // by `value`, keyed by the pointer
    QByteArray schedule; // the last schedules text written
};
