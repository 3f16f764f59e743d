// The subcommands that create, change and show one mission:
//
//   zfsrepctl add --caption TEXT KIND [FIELDS]   zfsrep_mission_append
//   zfsrepctl edit MSNNO [FIELDS]                read, change the given fields,
//                                                zfsrep_mission_change
//   zfsrepctl show MSNNO [--json]                one mission, password masked
//
// (flags: missionform.h). The remote password of a send or pull is read
// from --password-fd N or asked on the terminal, never taken from the
// command line. Exit statuses as for any call (CtlExit).
#pragma once

#include "ctloptions.h"

int runAdd(const CtlOptions &options);
int runEdit(const CtlOptions &options);
int runShow(const CtlOptions &options);
