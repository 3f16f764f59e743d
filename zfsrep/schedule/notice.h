// One notice about a mission: a run that failed, the first success after a
// failure, a success, or a scheduled mission gone stale. Built from the
// mission as the run read it and the run's record; what a receiver gets as
// JSON (the command's standard input, the URL's POST body) and as ZFSREP_*
// environment variables. It never carries the mission's password. A plain
// value; reentrant.
#pragma once

#include "mission.h"
#include "runrecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

struct Notice {
    QString notice; // failure, recovery, success, stale
    int msnno = 0;
    QString caption;
    QString kind;   // send, pull, export, restore
    QString source, target;
    QString outcome; // the run's: succeeded, failed, stalled, ...
    QString error;   // control characters replaced
    qint64 bytes = 0;
    qint64 duration = 0; // seconds
    qint64 runno = 0;
    qint64 time = 0;     // seconds since the epoch: the run's end, or the check

    // The notice of `kindWord` about `run` of `mission`.
    static Notice of(const QString &kindWord, const Mission &mission, const RunRecord &run);
    // The word of a mission's action ("send"; "action N" when unknown).
    static QString kindOf(int action);

    QJsonObject toJson() const;
    // Compact JSON text, one line.
    QByteArray toBody() const;
    // ZFSREP_NOTICE, ZFSREP_MISSION, ZFSREP_CAPTION, ZFSREP_KIND,
    // ZFSREP_SOURCE, ZFSREP_TARGET, ZFSREP_OUTCOME, ZFSREP_ERROR,
    // ZFSREP_BYTES, ZFSREP_DURATION, ZFSREP_RUN, ZFSREP_TIME.
    QMap<QString, QString> environment() const;
};
