// The everyday verbs over the whole listing and one mission's removal:
//
//   zfsrepctl list [--json]              one line per mission (listview.h)
//   zfsrepctl remove MSNNO [--yes] [--json]
//
// `remove` asks on a terminal before it sends zfsrep_mission_remove; without
// a terminal it needs --yes, so a script never removes by accident. Exit
// statuses as CtlExit: 1 when the mission does not exist, the service
// refuses or the question is answered no.
#pragma once

#include "ctloptions.h"

#include <QString>
#include <QStringList>

struct RemoveArgs {
    int msnno = 0;
    bool yes = false;
    bool json = false;
};

// "list [--json]"; false with `error` on anything else. Pure.
bool parseListArgs(const QStringList &args, bool &json, QString &error);
// "remove MSNNO [--yes] [--json]"; false with `error` on a missing or bad
// number or an unknown word. Pure.
bool parseRemoveArgs(const QStringList &args, RemoveArgs &out, QString &error);
// Whether a typed answer to "Remove ...? [y/N]" means yes ("y", "yes", any
// letter case, blanks around). Pure.
bool isYes(const QString &answer);

int runList(const CtlOptions &options);
int runRemove(const CtlOptions &options);
