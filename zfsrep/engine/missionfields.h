// Reading the mission record a transfer is given (the row as the scheduler
// read it): text fields trimmed, the local dataset pool + "/" + name.
#pragma once

#include <QJsonObject>
#include <QString>

namespace MissionFields {

inline QString text(const QJsonObject &mission, const char *key)
{
    return mission.value(QLatin1String(key)).toString().trimmed();
}

inline QString dataset(const QJsonObject &mission)
{
    return text(mission, "pool") + QLatin1Char('/') + text(mission, "name");
}

} // namespace MissionFields
