#include "runlimitsconfig.h"

#include <QJsonValue>

#include <cmath>

namespace {

// A whole number from 1 to RunLimits::kMost, as a JSON number or its decimal
// text (as the other whole-number keys are read).
bool limitOf(const QJsonValue &value, int &out)
{
    double number = 0;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        number = value.toString().trimmed().toInt(&ok, 10);
        if (!ok)
            return false;
    } else {
        return false;
    }
    if (!std::isfinite(number) || std::floor(number) != number || number < 1 || number > RunLimits::kMost)
        return false;
    out = int(number);
    return true;
}

bool readKey(const QJsonValue &value, const QString &key, int &out, QString &error)
{
    if (value.isUndefined() || value.isNull()) {
        out = 1;
        return true;
    }
    if (limitOf(value, out))
        return true;
    error = QStringLiteral("%1: not a whole number from 1 to %2").arg(key).arg(RunLimits::kMost);
    return false;
}

} // namespace

namespace RunLimitsConfig {

bool read(const QJsonObject &config, RunLimits &limits, QString &error)
{
    RunLimits read;
    if (!readKey(config.value(QStringLiteral("maxparallel")), QStringLiteral("maxparallel"), read.maxParallel, error)
        || !readKey(config.value(QStringLiteral("maxperhost")), QStringLiteral("maxperhost"), read.maxPerHost, error))
        return false;
    limits = read;
    return true;
}

} // namespace RunLimitsConfig
