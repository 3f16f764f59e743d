// How a failed external command is reported: one failed journal entry
// (place, the command text as action, the tool's error text as message) and
// ERR_EXECUTE with that text.
#pragma once

#include "processrunner.h"

#include <QString>

class TQ2Journals;

namespace CommandReport {

// The error text of a failed run: standard error (UTF-8 up to the first NUL;
// ssh's changed-host-key warning as SshFailure's one line; zfs's usage text
// after its message dropped); when that is
// empty, a short description of how the run failed.
QString errorText(const ProcessOutcome &outcome);

// Adds the failed entry and sets ERR_EXECUTE with `message`.
void commandFailed(TQ2Journals &journals, const QString &place, const QString &action, const QString &message);

} // namespace CommandReport
