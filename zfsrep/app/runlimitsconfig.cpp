#include "runlimitsconfig.h"

#include "configcheck.h"

namespace {

bool readKey(const QJsonValue &value, const QString &key, int &out, QString &error)
{
    if (value.isUndefined() || value.isNull()) {
        out = 1;
        return true;
    }
    qint64 number = 0;
    if (ConfigCheck::wholeOf(value, number) && number >= 1 && number <= RunLimits::kMost) {
        out = int(number);
        return true;
    }
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
