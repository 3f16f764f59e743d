// The JSON text of one mission of the listing, written straight from its
// stored row (TQ2SqlRow of statement "mission_alload") with the listing's
// fields merged in: "schedules" as an array, the running mission's live
// figures and the run fields. The text is byte for byte what QJsonDocument
// writes (compact) for the object MissionListing::list builds for the row:
// the same keys in QJsonObject's (sorted) order, the same values.
//
// One object per listing, used by one thread; it learns the statement's
// columns from the first row. The array text of each distinct schedules text
// is kept for the whole process (a memo shared by every listing, locked).
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
    };

    // `progress`: the running mission's progress object (empty when none).
    explicit MissionRowText(const QJsonObject &progress);

    // A column's value as TQ2SqlStatement::row gives it (undefined for NULL,
    // BLOB or a missing column).
    QJsonValue value(const TQ2SqlRow &row, const char *key);
    // Appends the row's object; `running` adds the live figures.
    void write(QByteArray &out, const TQ2SqlRow &row, const RunFields &fields, bool running);

    // The live figures a running mission's row shows.
    static const char *const kLiveKeys[5];

private:
    enum Kind { Column, Schedules, State, Nextrun, Lastrun, Lastresult, Lasterror, Live };
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
    void writeColumn(QByteArray &out, const TQ2SqlRow &row, int column, TQ2SqlRow::Type type);
    const QByteArray &schedulesText(const TQ2SqlRow &row, const std::vector<int> &columns);

    QJsonObject progress;
    std::vector<Entry> entries; // in key order
    QHash<QString, std::vector<int>> byKey;
    std::vector<std::pair<const char *, std::vector<int>>> asked; // by `value`, keyed by the pointer
    QByteArray schedule; // the last schedules text written
};
