// The table `zfsrepctl list` prints: one line per mission with its number,
// caption, kind, where it reads from and writes to, state, next run and the
// outcome of its last run. A pure function of the listing's records
// (zfsrep_mission_alload); a field an older service does not send reads "-".
//
//   MSNNO  CAPTION  KIND  FROM       TO                           STATE  NEXT RUN             LAST
//   3      Nightly  send  tank/data  replica@10.0.0.2:22/backup   armed  2026-12-09 02:30:00  succeeded
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <Qt>

// The kind as the flags of `add` name it: send, pull, export, restore
// ("action N" for a kind this client does not know).
QString kindName(int action);

// Where the mission reads from and where it writes to: the local dataset
// POOL/NAME, the remote end USER@HOST:PORT/PATH (an IPv6 host in brackets,
// port 22 when none is stored), the export directory or the restore file.
QString missionSource(const QJsonObject &mission);
QString missionTarget(const QJsonObject &mission);

// The whole table, columns aligned, ending in a newline; "no missions" when
// there is none. Times in `spec` (local time for people, UTC in tests).
QString renderMissionList(const QJsonArray &records, Qt::TimeSpec spec = Qt::LocalTime);
