// `zfsrepctl check MSNNO [--json]`: the dry run of a mission through
// zfsrep_mission_check. The service logs in, looks at the datasets, the host
// key and the space, and sends nothing; one line per check is printed:
//
//   ok    local dataset  tank/data exists with 3 snapshots
//   FAIL  login          on backup1 as root: Permission denied, please try again.
//
// Exit status: 0 every check passed, 1 one failed or the service refused
// (a mission that does not exist), 2 no service, 64 a bad command line.
#pragma once

#include "ctloptions.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// "MSNNO [--json]"; false with `error` on anything else. Pure.
bool parseCheckArgs(const QStringList &args, int &msnno, bool &json, QString &error);

// The lines of a check answer's results ({"ok", "checks": [{"check", "ok",
// "text"}]}), each ending in a newline; the check names padded to one
// column. Pure.
QString renderChecks(const QJsonObject &results);

int runCheck(const CtlOptions &options);
