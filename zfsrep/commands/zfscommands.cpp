#include "zfscommands.h"

namespace ZfsCommands {

QString shellQuote(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

namespace {

bool isAcceptableEndpointValue(const QString &value)
{
    if (value.trimmed().isEmpty() || value.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : value) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace

QString invalidEndpointParameter(const QString &host, const QString &userid)
{
    if (!isAcceptableEndpointValue(host))
        return QStringLiteral("host");
    if (!isAcceptableEndpointValue(userid))
        return QStringLiteral("userid");
    return QString();
}

ProcessRequest sshRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                          const QString &remoteCommand, int startTimeoutMs, int finishTimeoutMs)
{
    ProcessRequest request;
    request.program = kSshpass;
    request.arguments = QStringList{
        QStringLiteral("-e"),
        QStringLiteral("ssh"),
        QStringLiteral("-p"),
        QString::number(port),
        QStringLiteral("-o"),
        QStringLiteral("StrictHostKeyChecking no"),
        userid + QLatin1Char('@') + host,
        remoteCommand,
    };
    request.environment.insert(QStringLiteral("SSHPASS"), passwd);
    request.startTimeoutMs = startTimeoutMs;
    request.finishTimeoutMs = finishTimeoutMs;
    return request;
}

ProcessRequest localRequest(const QString &program, const QStringList &arguments, int startTimeoutMs,
                            int finishTimeoutMs)
{
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.startTimeoutMs = startTimeoutMs;
    request.finishTimeoutMs = finishTimeoutMs;
    return request;
}

} // namespace ZfsCommands
