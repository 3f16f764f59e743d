#include "jsonsupport.h"

#include "processrunner.h"
#include "tq2print.h"
#include "zfsoutput.h"

JsonSupport &JsonSupport::local()
{
    static JsonSupport tools;
    return tools;
}

bool JsonSupport::note(const ProcessOutcome &outcome)
{
    const bool answered = outcome.started && outcome.finished && !outcome.crashed && !outcome.cancelled
                          && !outcome.overflowed;
    if (answered && ZfsOutput::refusesJson(outcome.exitCode, outcome.standardError)) {
        if (value.exchange(State::Refused) != State::Refused)
            TQ2TRACE("jsonRefused", QStringLiteral("zfs has no -j: listings use the tab-separated form"));
        return true;
    }
    if (outcome.succeeded())
        value.store(State::Supported);
    return false;
}
