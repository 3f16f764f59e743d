// The event-log record a finished run of each mission kind writes.
#pragma once

#include <QString>

class Run;
class EventRecorder;

namespace RunEvent {

// One record: `symbol` ("GLOG_ZFSREP_SENDPOOL", ...), the local dataset, the
// direction (" SEND " / " RECV "), where the data came from and went; a
// failed run's record carries the run's message.
void write(EventRecorder &events, const Run &run, bool succeeded, const QString &symbol, const QString &dataset,
           const QString &direction, const QString &from, const QString &to);

} // namespace RunEvent
