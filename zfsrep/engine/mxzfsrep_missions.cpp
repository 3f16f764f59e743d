// The mission store: configuration load, the mission operations behind the
// RPC methods, and the event-log listing.
#include "mxzfsrep.h"

#include "exportleftovers.h"
#include "missionfields.h"
#include "missionvalidator.h"
#include "qmtarnlog.h"
#include "runhistory.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>

namespace {

// The mission with "schedules" as compact JSON text, the way it is stored.
QJsonObject withStoredSchedules(const QJsonObject &mission, QJsonArray &schedules)
{
    schedules = mission.value(QStringLiteral("schedules")).toArray();
    QJsonObject copy = mission;
    copy.insert(QStringLiteral("schedules"), QString::fromUtf8(QJsonDocument(schedules).toJson(QJsonDocument::Compact)));
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

bool MXZfsrep::loadConfigure(TQ2Journals &journals, const QJsonObject &config)
{
    const QJsonValue stall = config.value(QStringLiteral("stalltimeout"));
    if (!stall.isUndefined() && !stall.isNull())
        stallTimeoutSeconds = qMax(0, toInt(stall));
    const QJsonValue share = config.value(QStringLiteral("sshshare"));
    if (!share.isUndefined() && !share.isNull() && !toBool(share))
        sshControlDirectory.clear();
    const QString metricsFile = config.value(QStringLiteral("metricsfile")).toString().trimmed();
    if (!metricsFile.isEmpty())
        setMetricsPath(metricsFile);
    compression = Compressor::settingsFrom(config);
    if (!database->isOpen()) {
        database->loadSqlCreator(QStringLiteral(":/k7zfsrep/creator.sql"));
        bool opened = database->open(databasePath);
        if (opened)
            opened = database->loadSqlEngine(QStringLiteral(":/k7zfsrep/engine.sql"));
        if (!opened) {
            database->close();
            journals.add(TQ2PLACE(), QStringLiteral("database.open()"), false, database->lastError(), QString());
        } else {
            database->dbUpgrades();
            indexCaptions(*database);
            restrictDatabaseFiles(databasePath);
            // Runs still marked running were cut short by a stop or a crash.
            if (!history->markInterrupted(now().toSecsSinceEpoch()))
                journalDatabaseFailure(journals, TQ2PLACE());
        }
        if (!database->isOpen())
            return false;
    }
    QJsonArray missions;
    if (!database->call(missions, QStringLiteral("mission_alload"),
                        QJsonObject{{QStringLiteral("page"), 1}, {QStringLiteral("ofpage"), 999999999}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return true;
    }
    // Nothing runs yet: a partial export file is a leftover of a killed run.
    for (const QJsonValue &value : missions) {
        const QJsonObject mission = value.toObject();
        if (toInt(mission.value(QStringLiteral("action"))) != 3)
            continue;
        const QStringList removed = ExportLeftovers::remove(
            ExportLeftovers::placeOf(MissionFields::text(mission, "path"), MissionFields::dataset(mission)));
        for (const QString &path : removed)
            TQ2TRACE("removedPartialExport", path);
    }
    for (const QJsonValue &value : missions) {
        const QJsonObject mission = value.toObject();
        if (toBool(mission.value(QStringLiteral("done"))))
            continue;
        // A row stored before the validation rules may break them: it stays
        // listed with its reason and is not armed.
        const int msnno = toInt(mission.value(QStringLiteral("msnno")));
        const QString problem = MissionValidator::problem(mission);
        setMissionProblem(msnno, problem);
        if (problem.isEmpty())
            addSchedules(msnno, toJsonArray(mission.value(QStringLiteral("schedules")).toString()));
    }
    return true;
}

bool MXZfsrep::transferExists(TQ2Journals &journals, const QString &caption)
{
    QJsonArray rows;
    if (!database->call(rows, QStringLiteral("mission_detail"), QJsonObject{{QStringLiteral("caption"), caption}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return false;
    }
    return !rows.isEmpty();
}

bool MXZfsrep::transferAppend(TQ2Journals &journals, const QJsonObject &mission)
{
    QJsonArray schedules;
    const QJsonObject stored = withStoredSchedules(mission, schedules);
    int msnno = 0;
    {
        // The caption test and the insert are one step, so two appends of the
        // same caption can never both succeed.
        std::lock_guard<std::mutex> lock(appendLock);
        QJsonArray rows;
        if (!database->call(rows, QStringLiteral("mission_detail"), mission)) {
            journalDatabaseFailure(journals, TQ2PLACE());
            return false;
        }
        if (!rows.isEmpty()) {
            journals.setErr(TQ2Error::ERR_EXISTS, QStringLiteral("任务名称已存在"));
            return false;
        }
        int changes = 0;
        if (!database->call(changes, msnno, QStringLiteral("mission_append"), stored)) {
            journalDatabaseFailure(journals, TQ2PLACE());
            return false;
        }
    }
    if (!schedules.isEmpty())
        addSchedules(msnno, schedules);
    else
        armForNextPass(msnno);
    return true;
}

bool MXZfsrep::transferChange(TQ2Journals &journals, const QJsonObject &mission)
{
    QJsonArray schedules;
    const QJsonObject stored = withStoredSchedules(mission, schedules);
    int changes = 0;
    int lastId = 0;
    if (!database->call(changes, lastId, QStringLiteral("mission_change"), stored)) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return false;
    }
    if (changes <= 0) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    setMissionProblem(msnno, QString()); // the change was checked before it was stored
    if (!schedules.isEmpty())
        addSchedules(msnno, schedules);
    else
        armForNextPass(msnno);
    return true;
}

bool MXZfsrep::transferDetail(TQ2Journals &journals, int msnno, QJsonObject &row)
{
    QJsonArray rows;
    if (!database->call(rows, QStringLiteral("mission_acquit"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return false;
    }
    if (rows.isEmpty()) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    row = rows.first().toObject();
    return true;
}

bool MXZfsrep::transferRemove(TQ2Journals &journals, int msnno)
{
    int changes = 0;
    int lastId = 0;
    if (!database->call(changes, lastId, QStringLiteral("mission_remove"), QJsonObject{{QStringLiteral("msnno"), msnno}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return false;
    }
    if (changes <= 0) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("任务名称不存在"));
        return false;
    }
    removeSchedules(msnno);
    setMissionProblem(msnno, QString());
    return true;
}

bool MXZfsrep::transferAlload(TQ2Journals &journals, QJsonObject &result, int page, int ofpage)
{
    // The rows are changed in place and moved into the answer: no row is
    // copied between the statement and the answer.
    QList<QJsonObject> rows;
    if (!database->call(rows, QStringLiteral("mission_alload"),
                        QJsonObject{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}})) {
        journalDatabaseFailure(journals, TQ2PLACE());
        return false;
    }
    // Missions often share one schedule list: each distinct text is parsed
    // once per listing and its array shared by the rows that hold it.
    QHash<QString, QJsonArray> schedules;
    QJsonArray records;
    {
        std::lock_guard<std::mutex> lock(progressLock);
        const int running = toInt(progressObject.value(QStringLiteral("msnno")));
        for (QJsonObject &row : rows) {
            const QString text = row.value(QStringLiteral("schedules")).toString();
            auto parsed = schedules.constFind(text);
            if (parsed == schedules.constEnd())
                parsed = schedules.insert(text, toJsonArray(text));
            row.insert(QStringLiteral("schedules"), parsed.value());
            if (toInt(row.value(QStringLiteral("msnno"))) == running) {
                for (const QString &key : {QStringLiteral("speed"), QStringLiteral("rate"), QStringLiteral("bytes"),
                                           QStringLiteral("total"), QStringLiteral("eta")}) {
                    if (progressObject.contains(key))
                        row.insert(key, progressObject.value(key));
                    else
                        row.remove(key);
                }
            }
            records.append(std::move(row));
        }
    }
    rows.clear();
    if (!addRunFields(journals, records))
        return false;
    result.insert(QStringLiteral("records"), records);
    return true;
}

bool MXZfsrep::transferLogAlload(TQ2Journals &, QJsonArray &records, int, int)
{
    QJsonArray entries;
    if (!tarnlog->loadByApp(entries, kApplication))
        return false;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        QJsonObject merged = jsonMerge(entry, toJsonObject(entry.value(QStringLiteral("sparefield1")).toString()));
        merged.remove(QStringLiteral("sparefield1"));
        merged.remove(QStringLiteral("sparefield2"));
        merged.remove(QStringLiteral("sparefield3"));
        records.append(merged);
    }
    return true;
}

bool MXZfsrep::transferLogClear(TQ2Journals &)
{
    return tarnlog->clearByApp(kApplication);
}
