// What `zfsrepctl show` prints for one mission, and the masking of stored
// passwords in everything zfsrepctl prints for people. Pure functions of
// the JSON the service returned.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <Qt>

// What a masked password reads as.
extern const char *const kMaskedPassword;

// `value` with every non-empty "passwd" (at any depth, in objects and
// arrays) replaced by kMaskedPassword; an empty one stays empty so that
// "no password" remains visible.
QJsonValue maskSecrets(const QJsonValue &value);

// How many runs `show` looks through for the newest export file.
constexpr int kFileHistoryWindow = 20;
// The "file" of the newest run that wrote one (runs newest first); empty
// when none did. Pure.
QString newestFile(const QJsonArray &runs);

// One mission of zfsrep_mission_alload as labelled lines: number and
// caption, kind, dataset and remote end (USER@HOST:PORT/PATH) or file,
// whether a password is stored (never the password), snapshot series,
// schedules in the compact text, rate limit, the flags, state, last and
// next run, the file the newest export wrote ("lastfile", which the client
// adds from the run history) and the last run's error. Ends in a newline.
QString renderMissionDetail(const QJsonObject &mission, Qt::TimeSpec spec = Qt::LocalTime);
