// Whether the host a run reached is pinned: ssh records a new host's key
// (StrictHostKeyChecking=accept-new) but goes on connecting when it cannot
// write the known-hosts file (a full or read-only file system), and the
// next connection would then trust whatever key it is shown. After a run
// has logged in, the file must hold the host's key, or the run stops.
// Any run's thread, several runs at once; no state (it only reads the file,
// and ssh appends a new host's key in one write).
#pragma once

#include <QString>

class ProcessRunner;
class Run;

namespace HostKeyPin {

// True when the service's known-hosts file holds a key of `host`:`port`;
// false with the run's journal naming the host and the file.
bool confirm(Run &run, ProcessRunner &runner, const QString &host, int port);

} // namespace HostKeyPin
