// The bounds the local RPC server keeps against many or hostile clients,
// read from the service configuration:
//
//   maxconnections   connections served at once; more are closed at accept
//   maxrequestbytes  largest request datagram (header included)
//   maxpendingbytes  bytes all connections together may hold in received,
//                    not yet handled requests
//   partialtimeout   seconds a connection may sit idle in the middle of a
//                    datagram before it is closed (fractions allowed)
//
// A missing, non-numeric or non-positive value gives the default. A plain
// value type.
#pragma once

#include <QJsonObject>
#include <QString>

struct TQ2ServerLimits
{
    static constexpr int DefaultMaxConnections = 256;
    static constexpr qint64 DefaultMaxRequestBytes = 4LL * 1024 * 1024;
    static constexpr qint64 DefaultMaxPendingBytes = 64LL * 1024 * 1024;
    static constexpr int DefaultPartialTimeoutMs = 30000;

    int maxConnections = DefaultMaxConnections;
    qint64 maxRequestBytes = DefaultMaxRequestBytes;
    qint64 maxPendingBytes = DefaultMaxPendingBytes;
    int partialTimeoutMs = DefaultPartialTimeoutMs;

    // The limits named in `config` (keys above), defaults for the rest.
    // maxrequestbytes is capped at the datagram format's hard limit
    // (TQ2RpcPacket::MaxDatagram); `warnings` (optional) receives one line
    // per value that was not taken as given.
    static TQ2ServerLimits fromConfig(const QJsonObject &config, QStringList *warnings = nullptr);
};
