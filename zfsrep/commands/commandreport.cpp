#include "commandreport.h"

#include "failuretext.h"
#include "sshfailure.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "zfsoutput.h"

namespace CommandReport {

QString errorText(const ProcessOutcome &outcome)
{
    const QString text = ZfsOutput::decode(outcome.standardError);
    if (!text.isEmpty())
        return FailureText::withoutUsage(SshFailure::explained(text));
    if (!outcome.started)
        return QStringLiteral("the program could not be started");
    if (!outcome.finished)
        return QStringLiteral("the program did not finish in time");
    if (outcome.crashed)
        return QStringLiteral("the program was ended by a signal");
    return QStringLiteral("the program exited with status %1").arg(outcome.exitCode);
}

void commandFailed(TQ2Journals &journals, const QString &place, const QString &action, const QString &message)
{
    journals.add(place, TQ2Error::ERR_EXECUTE, action, false, message, QString());
}

} // namespace CommandReport
