// Argument builders for the engine's external commands: program names, shell
// quoting, endpoint checks and the ssh invocation. Pure: values in, argument
// lists or command text out. Every value that ends up in a shell command goes
// through shellQuote, so no value can change the command.
#pragma once

#include "processrunner.h"

#include <QString>
#include <QStringList>

namespace ZfsCommands {

// Program names, in one place.
inline const QString kZfs = QStringLiteral("zfs");
inline const QString kZpool = QStringLiteral("zpool");
inline const QString kZfsFullPath = QStringLiteral("/usr/sbin/zfs");
inline const QString kSshpass = QStringLiteral("sshpass");
inline const QString kScript = QStringLiteral("script");

// The value as one word for a POSIX shell: wrapped in single quotes, every
// single quote written as '\''. The empty value becomes ''.
QString shellQuote(const QString &value);

// The name of the first endpoint parameter that may not be used ("host" or
// "userid"), or an empty string when both are acceptable. Refused: empty after
// trimming, a leading "-", white space or control characters.
QString invalidEndpointParameter(const QString &host, const QString &userid);

// sshpass -e ssh -p PORT -o "StrictHostKeyChecking no" USER@HOST COMMAND,
// with the password in the child's SSHPASS variable (never on the command
// line). The remote command is one argument that the remote shell splits.
ProcessRequest sshRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                          const QString &remoteCommand, int startTimeoutMs, int finishTimeoutMs);

// A local request with the given timeouts.
ProcessRequest localRequest(const QString &program, const QStringList &arguments, int startTimeoutMs,
                            int finishTimeoutMs);

} // namespace ZfsCommands
