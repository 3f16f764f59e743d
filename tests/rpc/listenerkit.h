// Helpers of the end-to-end tests of the service's listener: raw clients on
// the service's socket, facts about the service process from /proc, and
// clients run as another user in a forked child.
#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <functional>
#include <sys/types.h>
#include <vector>

namespace listener {

extern const char kSocket[];

// A connected client socket, or -1. Connecting waits at most 5 s.
int connectRaw(const char *path = kSocket);
// The service's pid, from the kernel's credentials of the socket's peer.
pid_t servicePid();
int threadsOf(pid_t pid);
// Resident memory of `pid` in KiB (VmRSS), -1 when unknown.
long residentKiB(pid_t pid);
// Whether the server closed `fd` within `ms` (end of stream or reset).
bool closedByPeer(int fd, int ms);
// Writes `bytes` and reads one answer datagram (at most 5 s).
QJsonObject rawCall(int fd, const QByteArray &bytes);
// A datagram header announcing `json` bytes of JSON text.
QByteArray header(quint32 json);
void closeAll(std::vector<int> &fds);

// Runs `body` in a forked child as user `uid` and group `gid` (no
// supplementary groups); `body` reports numbers through report(value) and
// must use system calls only (the parent has threads; no allocation).
class ChildAs
{
public:
    using Report = std::function<void(long)>;
    ChildAs(uid_t uid, gid_t gid, const std::function<void(const Report &)> &body);
    // Kills the child if it still runs, and reaps it.
    ~ChildAs();
    bool isRunning() const { return pid > 0; }
    // The next number the child reported, within `ms`; false on time-out.
    bool next(long &value, int ms);
    // Tells the child it may end (closes the line it waits on).
    void release();

private:
    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;
};

// For a child: waits until the parent calls release() (or at most `ms`).
void waitForRelease(int ms);

} // namespace listener
