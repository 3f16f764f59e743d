#include "missionbook.h"

#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

#include <QFile>
#include <QJsonDocument>

namespace {

// The mission with "schedules" as compact JSON text, the way it is stored.
QJsonObject withStoredSchedules(const QJsonObject &mission)
{
    QJsonObject copy = mission;
    copy.insert(QStringLiteral("schedules"),
                QString::fromUtf8(QJsonDocument(mission.value(QStringLiteral("schedules")).toArray()).toJson(QJsonDocument::Compact)));
    return copy;
}

// Gives t_mission its case-insensitive caption index: the unique one, or the
// plain one where stored captions already collide (a database from before
// the index); the service starts either way. Runs at every open, so a
// database whose duplicates were removed gets the unique index then.
void indexCaptions(TQ2DBSqlite &database)
{
    if (database.call(QStringLiteral("mission_caption_unique"), QJsonObject())) {
        database.call(QStringLiteral("mission_caption_unindex"), QJsonObject());
        return;
    }
    const QString reason = database.lastError();
    database.call(QStringLiteral("mission_caption_index"), QJsonObject());
    TQ2TRACE("captionsNotUnique", reason);
}

// The database file and its write-ahead log hold the remote passwords:
// owner only.
void restrictDatabaseFiles(const QString &path)
{
    for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        if (QFile::exists(file))
            QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
}

} // namespace

MissionBook::MissionBook(TQ2DBSqlite &database) : db(database) {}

void MissionBook::journalFailure(TQ2Journals &journals, const QString &place) const
{
    journals.add(place, TQ2Error::ERR_SQLERROR, db.lastSqlid(), false, db.lastError(), QString());
}

bool MissionBook::open(TQ2Journals &journals, const QString &path)
{
    if (db.isOpen())
        return true;
    db.loadSqlCreator(QStringLiteral(":/k7zfsrep/creator.sql"));
    bool opened = db.open(path);
    if (opened)
        opened = db.loadSqlEngine(QStringLiteral(":/k7zfsrep/engine.sql"));
    if (!opened) {
        db.close();
        journals.add(TQ2PLACE(), QStringLiteral("database.open()"), false, db.lastError(), QString());
        return false;
    }
    db.dbUpgrades();
    indexCaptions(db);
    restrictDatabaseFiles(path);
    ++openings;
    return true;
}

bool MissionBook::append(TQ2Journals &journals, const QJsonObject &mission, int &msnno)
{
    // The statement inserts nothing when the caption is taken: one
    // transaction both tests and stores, so two clients appending the same
    // caption at once store it once.
    int changes = 0;
    int lastId = 0;
    if (!db.call(changes, lastId, QStringLiteral("mission_append"), withStoredSchedules(mission))) {
        journalFailure(journals, TQ2PLACE());
        return false;
    }
    if (changes <= 0) {
        journals.setErr(TQ2Error::ERR_EXISTS, QStringLiteral("任务名称已存在"));
        return false;
    }
    msnno = lastId;
    return true;
}

bool MissionBook::change(TQ2Journals &journals, const QJsonObject &mission)
{
    int changes = 0;
    int lastId = 0;
    if (!db.call(changes, lastId, QStringLiteral("mission_change"), withStoredSchedules(mission))) {
        journalFailure(journals, TQ2PLACE());
        return false;
    }
    if (changes <= 0) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    return true;
}

bool MissionBook::remove(TQ2Journals &journals, int msnno)
{
    int changes = 0;
    int lastId = 0;
    if (!db.call(changes, lastId, QStringLiteral("mission_remove"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalFailure(journals, TQ2PLACE());
        return false;
    }
    if (changes <= 0) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    // Its run history goes too; the mission is gone whether or not that works.
    if (!db.call(QStringLiteral("run_remove"), QJsonObject{{QStringLiteral("msnno"), msnno}}))
        TQ2TRACE("runRemoveFailed", db.lastError());
    return true;
}

bool MissionBook::exists(TQ2Journals &journals, const QString &caption)
{
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("mission_detail"), QJsonObject{{QStringLiteral("caption"), caption}})) {
        journalFailure(journals, TQ2PLACE());
        return false;
    }
    return !rows.isEmpty();
}

bool MissionBook::row(TQ2Journals &journals, int msnno, QJsonObject &row)
{
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("mission_acquit"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, db.lastError());
        return false;
    }
    if (rows.isEmpty()) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    row = rows.first().toObject();
    return true;
}

bool MissionBook::rows(TQ2Journals &journals, QList<QJsonObject> &rows, int page, int ofpage)
{
    if (!db.call(rows, QStringLiteral("mission_alload"),
                 QJsonObject{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}})) {
        journalFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, db.lastError());
        return false;
    }
    return true;
}

bool MissionBook::visitRows(TQ2Journals &journals, const TQ2SqlRowVisitor &visit, int page, int ofpage)
{
    if (!db.call(QStringLiteral("mission_alload"),
                 QJsonObject{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}}, visit)) {
        journalFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, db.lastError());
        return false;
    }
    return true;
}

bool MissionBook::stamp(TQ2Journals &journals, Stamp &stamp)
{
    // total_changes() counts this connection's rows (the service has one),
    // data_version moves when another connection commits, schema_version
    // when a table or index is made, changed or dropped.
    QJsonArray rows;
    if (!db.call(rows, QStringLiteral("mission_stamp"), QJsonObject()) || rows.isEmpty()) {
        journalFailure(journals, TQ2PLACE());
        journals.setErr(TQ2Error::ERR_SQLERROR, db.lastError());
        return false;
    }
    const QJsonObject row = rows.first().toObject();
    stamp.opening = openings.load();
    stamp.own = qint64(row.value(QStringLiteral("own")).toDouble());
    stamp.others = qint64(row.value(QStringLiteral("others")).toDouble());
    stamp.schema = qint64(row.value(QStringLiteral("schema")).toDouble());
    return true;
}

bool MissionBook::rearm(TQ2Journals &journals, int msnno)
{
    if (db.call(QStringLiteral("mission_rearm"), QJsonObject{{QStringLiteral("msnno"), msnno}}))
        return true;
    journalFailure(journals, TQ2PLACE());
    journals.setErr(TQ2Error::ERR_SQLERROR, db.lastError());
    return false;
}

void MissionBook::finished(int msnno, bool done)
{
    if (!db.call(QStringLiteral("mission_finished"),
                 QJsonObject{{QStringLiteral("msnno"), msnno}, {QStringLiteral("done"), done ? 1 : 0}}))
        TQ2TRACE("db.lastError()", db.lastError());
}

void MissionBook::completed(int msnno)
{
    if (!db.call(QStringLiteral("mission_complete"), QJsonObject{{QStringLiteral("msnno"), msnno}}))
        TQ2TRACE("db.lastError()", db.lastError());
}
