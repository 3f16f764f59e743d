#include "runevent.h"

#include "eventrecorder.h"
#include "run.h"

namespace RunEvent {

void write(EventRecorder &events, const Run &run, bool succeeded, const QString &symbol, const QString &dataset,
           const QString &direction, const QString &from, const QString &to)
{
    EventRecorder::Event event;
    event.succeeded = succeeded;
    event.symbol = symbol;
    event.dataset = dataset;
    event.direction = direction;
    event.caption = run.mission().caption;
    event.path = run.mission().path;
    event.action = run.mission().action;
    event.from = from;
    event.to = to;
    if (!succeeded)
        event.error = run.errorText();
    events.write(event);
}

} // namespace RunEvent
