#include "sshfailure.h"

#include <QRegularExpression>

namespace SshFailure {

QString hostKeyChanged(const QString &errorText)
{
    if (!errorText.contains(QLatin1String("REMOTE HOST IDENTIFICATION HAS CHANGED")))
        return QString();
    static const QRegularExpression hostLine(QStringLiteral("Host key for (\\S+) has changed"));
    static const QRegularExpression removeLine(QStringLiteral("-R \"([^\"\\s]+)\""));
    static const QRegularExpression fingerprint(
        QStringLiteral("The fingerprint for the (\\S+) key sent by the remote host is\\s+(\\S+?)\\.?\\s*(?:\\r|\\n|$)"));
    QRegularExpressionMatch match = hostLine.match(errorText);
    if (!match.hasMatch())
        match = removeLine.match(errorText);
    const QString name = match.hasMatch() ? match.captured(1) : QStringLiteral("the remote host");

    QString line = QStringLiteral("host key of %1 has changed").arg(name);
    const QRegularExpressionMatch key = fingerprint.match(errorText);
    if (key.hasMatch())
        line += QStringLiteral(" (now %1 %2)").arg(key.captured(1), key.captured(2));
    line += QStringLiteral(": refused");
    if (!match.hasMatch())
        return line;

    // "[host]:port" for a port other than 22, else the bare host.
    static const QRegularExpression bracketed(QStringLiteral("^\\[(.+)\\]:(\\d+)$"));
    const QRegularExpressionMatch parts = bracketed.match(name);
    const QString forget = parts.hasMatch() ? parts.captured(1) + QLatin1Char(' ') + parts.captured(2) : name;
    return line + QStringLiteral("; if the host was reinstalled, run zfsrepctl hostkey forget ") + forget;
}

QString explained(const QString &errorText)
{
    const QString line = hostKeyChanged(errorText);
    return line.isEmpty() ? errorText : line;
}

} // namespace SshFailure
