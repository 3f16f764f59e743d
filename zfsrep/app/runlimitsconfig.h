// The configuration's run limits read into RunLimits: "maxparallel" (runs at
// once) and "maxperhost" (runs at once to one remote endpoint), each a whole
// number from 1 to 64, absent or null: 1. A value outside that stops the
// start with one line naming the key ("maxparallel: not a whole number from
// 1 to 64"). Pure.
#pragma once

#include "runadmission.h"

#include <QJsonObject>
#include <QString>

namespace RunLimitsConfig {

// False with `error` set at the first bad value; `limits` is then unchanged.
bool read(const QJsonObject &config, RunLimits &limits, QString &error);

} // namespace RunLimitsConfig
