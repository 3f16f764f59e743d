#include "tq2peerquota.h"

void TQ2PeerQuota::setBounds(const Bounds &value)
{
    std::lock_guard<std::mutex> lock(mutex);
    bounds = value;
}

bool TQ2PeerQuota::takeConnection(uid_t uid)
{
    std::lock_guard<std::mutex> lock(mutex);
    Held &mine = held[uid];
    const bool fits = mine.connections < bounds.peerConnections
                      && (totalConnections < bounds.connections || uid == 0);
    if (!fits) {
        forgetIfEmpty(held.find(uid));
        return false;
    }
    ++mine.connections;
    ++totalConnections;
    return true;
}

void TQ2PeerQuota::releaseConnection(uid_t uid)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto entry = held.find(uid);
    if (entry == held.end() || entry->second.connections <= 0)
        return;
    --entry->second.connections;
    --totalConnections;
    forgetIfEmpty(entry);
}

bool TQ2PeerQuota::reserveBytes(uid_t uid, qint64 bytes)
{
    if (bytes <= 0)
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    Held &mine = held[uid];
    const bool fits = mine.bytes + bytes <= bounds.peerPendingBytes
                      && (totalBytes + bytes <= bounds.pendingBytes || uid == 0);
    if (!fits) {
        forgetIfEmpty(held.find(uid));
        return false;
    }
    mine.bytes += bytes;
    totalBytes += bytes;
    return true;
}

void TQ2PeerQuota::releaseBytes(uid_t uid, qint64 bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto entry = held.find(uid);
    if (entry == held.end() || bytes <= 0)
        return;
    const qint64 given = qMin(bytes, entry->second.bytes);
    entry->second.bytes -= given;
    totalBytes -= given;
    forgetIfEmpty(entry);
}

void TQ2PeerQuota::forgetIfEmpty(std::map<uid_t, Held>::iterator entry)
{
    if (entry != held.end() && entry->second.connections == 0 && entry->second.bytes == 0)
        held.erase(entry);
}

int TQ2PeerQuota::connections() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalConnections;
}

int TQ2PeerQuota::connectionsOf(uid_t uid) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto entry = held.find(uid);
    return entry == held.end() ? 0 : entry->second.connections;
}

qint64 TQ2PeerQuota::pendingBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalBytes;
}

qint64 TQ2PeerQuota::pendingBytesOf(uid_t uid) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto entry = held.find(uid);
    return entry == held.end() ? 0 : entry->second.bytes;
}
