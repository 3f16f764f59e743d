// The bounds the local RPC server keeps against many or hostile clients,
// read from the service configuration:
//
//   maxconnections      connections served at once; more are closed at accept
//   maxpeerconnections  connections one peer user (uid) may hold at once
//   maxrequestbytes     largest request datagram (header included)
//   maxpendingbytes     bytes all connections together may hold in received,
//                       not yet handled requests
//   maxpeerpendingbytes the same for the connections of one peer user;
//                       default a quarter of maxpendingbytes, never less
//                       than maxrequestbytes
//   partialtimeout      seconds within which a datagram must arrive whole,
//                       counted from its first byte (fractions allowed)
//   idletimeout         seconds a connection may send nothing before it is
//                       closed (fractions allowed)
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
    static constexpr int DefaultMaxPeerConnections = 64;
    static constexpr int DefaultIdleTimeoutMs = 60000;

    int maxConnections = DefaultMaxConnections;
    int maxPeerConnections = DefaultMaxPeerConnections;
    qint64 maxRequestBytes = DefaultMaxRequestBytes;
    qint64 maxPendingBytes = DefaultMaxPendingBytes;
    qint64 maxPeerPendingBytes = DefaultMaxPendingBytes / 4;
    int partialTimeoutMs = DefaultPartialTimeoutMs;
    int idleTimeoutMs = DefaultIdleTimeoutMs;

    // The limits named in `config` (keys above), defaults for the rest.
    // maxrequestbytes is capped at the datagram format's hard limit
    // (TQ2RpcPacket::MaxDatagram); `warnings` (optional) receives one line
    // per value that was not taken as given.
    static TQ2ServerLimits fromConfig(const QJsonObject &config, QStringList *warnings = nullptr);
};
