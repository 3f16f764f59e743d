// The service's signal handling. SIGINT and SIGTERM print "Wait for quit ..."
// and end the event loop; SIGHUP and SIGPIPE are caught and ignored, so a
// hang-up or a write to a closed client never ends the process.
//
// The handler only does async-signal-safe work: it writes the message to
// standard output and one byte to a pipe; a QSocketNotifier on the main
// thread reads the pipe and asks the event loop to quit.
#pragma once

class QuitSignals
{
public:
    // Installs the handler for `signal`. Needs a QCoreApplication; the first
    // call creates the pipe and its notifier. Main thread only.
    static void install(int signal);
};
