#include "tq2serverlimits.h"

#include "tq2rpcpacket.h"

#include <QJsonValue>
#include <QStringList>

#include <cmath>

namespace {

// A positive number from a JSON number or numeric text; 0 otherwise.
double positive(const QJsonValue &value)
{
    double number = 0;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        number = value.toString().trimmed().toDouble(&ok);
        if (!ok)
            number = 0;
    }
    return std::isfinite(number) && number > 0 ? number : 0;
}

template <typename T>
void take(const QJsonObject &config, const char *key, T &field, double scale, double maximum,
          QStringList *warnings)
{
    const QJsonValue value = config.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return;
    const double number = positive(value) * scale;
    if (number < 1) {
        if (warnings)
            warnings->append(QStringLiteral("%1: not a positive number, default %2 used").arg(key).arg(field));
        return;
    }
    if (number > maximum) {
        field = T(maximum);
        if (warnings)
            warnings->append(QStringLiteral("%1: capped at %2").arg(key).arg(field));
        return;
    }
    field = T(number);
}

} // namespace

TQ2ServerLimits TQ2ServerLimits::fromConfig(const QJsonObject &config, QStringList *warnings)
{
    TQ2ServerLimits limits;
    take(config, "maxconnections", limits.maxConnections, 1, 1000000, warnings);
    take(config, "maxpeerconnections", limits.maxPeerConnections, 1, 1000000, warnings);
    take(config, "maxrequestbytes", limits.maxRequestBytes, 1, double(TQ2RpcPacket::MaxDatagram), warnings);
    take(config, "maxpendingbytes", limits.maxPendingBytes, 1, 1e15, warnings);
    take(config, "partialtimeout", limits.partialTimeoutMs, 1000, 86400000, warnings);
    take(config, "idletimeout", limits.idleTimeoutMs, 1000, 86400000, warnings);
    // A user's share must hold one whole request, or that request could
    // never be served.
    limits.maxPeerPendingBytes = qMax(limits.maxRequestBytes, limits.maxPendingBytes / 4);
    const qint64 share = limits.maxPeerPendingBytes;
    take(config, "maxpeerpendingbytes", limits.maxPeerPendingBytes, 1, 1e15, warnings);
    if (limits.maxPeerPendingBytes < limits.maxRequestBytes) {
        limits.maxPeerPendingBytes = share;
        if (warnings)
            warnings->append(QStringLiteral("maxpeerpendingbytes: less than maxrequestbytes, %1 used").arg(share));
    }
    return limits;
}
