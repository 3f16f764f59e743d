// `zfsrepctl watch`: a live view of the missions, redrawn every interval,
// with a progress bar for the one that runs.
//
//   zfsrepctl watch [--interval S] [--once] [--until-finished MSNNO]
#pragma once

#include "ctloptions.h"

#include <QJsonArray>
#include <QString>

// The view of one listing (the "records" of zfsrep_mission_alload), one
// line per mission, at most `width` columns. Pure: used by tests.
QString renderMissions(const QJsonArray &records, int width);

// A progress bar of `width` characters for 0..100 percent: "[=====>    ]".
QString progressBar(int percent, int width);

int runWatch(const CtlOptions &options);
