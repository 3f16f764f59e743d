// Finding one mission in the service's listing (zfsrep_mission_alload), for
// the subcommands that need to know whether a mission exists or what it is
// called before or after their own request.
#pragma once

#include "ctloptions.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

enum class Lookup {
    Found,       // `mission` holds the listed mission
    Missing,     // the listing has no such mission
    Unreachable, // no answer; `error` says why
    Refused,     // the listing was refused; `answer` holds the refusal
};

// The listed mission `msnno` from `records`; false when it is not there. Pure.
bool findListed(const QJsonArray &records, int msnno, QJsonObject &mission);

// Asks the service for its listing and looks for `msnno`. Main thread.
Lookup lookupMission(const CtlOptions &options, int msnno, QJsonObject &mission, QJsonObject &answer,
                     QString &error);

// For an answer that cannot tell a missing mission from one without data
// (an empty history): -1 when mission `msnno` is listed, otherwise the exit
// status, with "WHAT: mission N does not exist" (or why the listing could
// not be read) printed on standard error. Main thread.
int requireMission(const CtlOptions &options, int msnno, const QString &what);
