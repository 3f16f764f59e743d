// The mission book: the missions as the store keeps them (table t_mission,
// statements "mission_*" of the catalogue). It opens the database, appends,
// changes, removes and reads missions; it knows nothing of schedules being
// armed or runs going on (the engine tells the scheduler about changes).
//
// Any thread may call it; every operation is one catalogue statement. A
// failed statement is journaled (ERR_SQLERROR with SQLite's message) and
// returns false.
#pragma once

#include "mission.h"
#include "tq2sqlrow.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <atomic>

class TQ2DBSqlite;
class TQ2Journals;

class MissionBook
{
public:
    // `database` must outlive the book.
    explicit MissionBook(TQ2DBSqlite &database);

    // Opens (or creates) the database at `path` with the service's schema
    // and statements and upgrades it. False, journaled, when it cannot.
    bool open(TQ2Journals &journals, const QString &path);

    // Refuses a caption that exists in any letter case (ERR_EXISTS); the
    // test and the insert are one statement. `mission` is in the request's
    // form ("schedules" an array); `msnno` gets the new number.
    bool append(TQ2Journals &journals, const QJsonObject &mission, int &msnno);
    // Refuses a number that does not exist (ERR_NOT_EXISTS).
    bool change(TQ2Journals &journals, const QJsonObject &mission);
    // Refuses a number that does not exist (ERR_NOT_EXISTS). The mission's
    // run history is removed with it (a failure of that is only traced: the
    // mission is gone either way).
    bool remove(TQ2Journals &journals, int msnno);
    // Whether a mission has this caption (exact); false and journaled when
    // the store failed.
    bool exists(TQ2Journals &journals, const QString &caption);
    // The stored row of `msnno`; ERR_NOT_EXISTS when there is none.
    bool row(TQ2Journals &journals, int msnno, QJsonObject &row);
    // The rows of a page of the listing, in number order, as stored.
    bool rows(TQ2Journals &journals, QList<QJsonObject> &rows, int page = 1, int ofpage = 999999999);
    // The same rows handed to `visit` one by one as the store holds them
    // (see TQ2SqlRowVisitor: `visit` must not use the store).
    bool visitRows(TQ2Journals &journals, const TQ2SqlRowVisitor &visit, int page = 1, int ofpage = 999999999);

    // What the store has gone through, as one comparable value: it differs
    // after any row the service inserted, changed or removed, after any
    // change of the schema, after any transaction another connection (or
    // process) committed, and after the book opened the file again. Equal
    // stamps mean the rows are as they were, so a text made of them may be
    // kept. False (journaled) when the store cannot say; `stamp` is then
    // unchanged.
    struct Stamp {
        quint64 opening = 0;
        qint64 own = -1;
        qint64 others = -1;
        qint64 schema = -1;
        bool operator==(const Stamp &other) const
        {
            return opening == other.opening && own == other.own && others == other.others && schema == other.schema;
        }
    };
    bool stamp(TQ2Journals &journals, Stamp &stamp);

    // The scheduler's marks: a mission made pending again (run now), a
    // finished run ("done" when nothing is left to run), a completed
    // receive. Failures are traced, not reported: the run is over.
    bool rearm(TQ2Journals &journals, int msnno);
    void finished(int msnno, bool done);
    void completed(int msnno);

private:
    void journalFailure(TQ2Journals &journals, const QString &place) const;

    TQ2DBSqlite &db;
    std::atomic<quint64> openings{0};
};
