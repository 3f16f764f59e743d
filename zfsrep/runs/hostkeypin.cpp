#include "hostkeypin.h"

#include "commandreport.h"
#include "processrunner.h"
#include "run.h"
#include "sshlogin.h"
#include "tq2print.h"
#include "zfscommands.h"

namespace HostKeyPin {

bool confirm(Run &run, ProcessRunner &runner, const QString &host, int port)
{
    ProcessRequest request = ZfsCommands::knownHostLookupRequest(host, port);
    request.cancel = &run.cancelToken();
    const ProcessOutcome outcome = runner.run(request);
    if (outcome.succeeded())
        return true;
    if (outcome.cancelled)
        return false;
    CommandReport::commandFailed(
        run.journals(), TQ2PLACE(), ZfsCommands::commandText(request.program, request.arguments),
        QStringLiteral("the host key of %1 was not recorded in %2 (is its file system full or read-only?): the run "
                       "stops, so that the host's key stays pinned")
            .arg(SshLogin::knownHostsName(host, port), SshLogin::knownHostsFile()));
    return false;
}

} // namespace HostKeyPin
