#include "zfscommands.h"

#include "sshlogin.h"

#include <QFile>

namespace ZfsCommands {

QString shellQuote(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString shellWord(const QString &value)
{
    if (value.isEmpty())
        return shellQuote(value);
    for (const QChar c : value) {
        const ushort u = c.unicode();
        const bool safe = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                          || QStringLiteral("@%+=:,./_-").contains(c);
        if (!safe)
            return shellQuote(value);
    }
    return value;
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

namespace {

QString &ciphers()
{
    static QString value;
    return value;
}

// OpenSSH 9.2's default client order, which every host accepting today's
// connections accepts at least one of.
const QString kDefaultCiphers = QStringLiteral(
    "chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr,aes128-gcm@openssh.com,aes256-gcm@openssh.com");
const QString kAesFirst = QStringLiteral(
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr");

} // namespace

void setCipherOrder(const QString &order) { ciphers() = order; }

QString cipherOrder() { return ciphers(); }

QString cipherOrderFor(const QString &cpuFlags)
{
    const QStringList flags = cpuFlags.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return flags.contains(QStringLiteral("aes")) ? kAesFirst : QString();
}

QString cpuFlags(const QByteArray &cpuinfo)
{
    for (const QByteArray &line : cpuinfo.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed() == "flags")
            return QString::fromLatin1(line.mid(colon + 1).trimmed());
    }
    return QString();
}

QString cpuFlagsOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return cpuFlags(file.readAll());
}

QStringList sshOptions(const QString &controlPath)
{
    QStringList options{QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"), QStringLiteral("-o"),
                        QStringLiteral("ServerAliveCountMax=4"), QStringLiteral("-o"),
                        QStringLiteral("ConnectTimeout=20")};
    if (!ciphers().isEmpty())
        options << QStringLiteral("-o") << QStringLiteral("Ciphers=") + ciphers();
    if (!controlPath.isEmpty())
        options << QStringLiteral("-o") << QStringLiteral("ControlPath=") + controlPath;
    return options;
}

namespace {

// ssh's own arguments before the destination: port, host key policy, the
// key of a password-less login and the options every ssh of the service
// carries.
QStringList sshArguments(int port, const QString &controlPath, bool keyLogin)
{
    return SshLogin::arguments(port, keyLogin) + sshOptions(controlPath);
}

} // namespace

ProcessRequest sshRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                          const QString &remoteCommand, int startTimeoutMs, int finishTimeoutMs,
                          const QString &controlPath)
{
    const bool key = SshLogin::usesKey(passwd);
    ProcessRequest request;
    request.program = key ? kSsh : kSshpass;
    request.arguments = sshArguments(port, controlPath, key) + QStringList{userid + QLatin1Char('@') + host, remoteCommand};
    if (!key) {
        request.arguments = QStringList{QStringLiteral("-e"), kSsh} + request.arguments;
        request.environment.insert(QStringLiteral("SSHPASS"), passwd);
    }
    request.startTimeoutMs = startTimeoutMs;
    request.finishTimeoutMs = finishTimeoutMs;
    return request;
}

ProcessRequest sshMasterRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                                const QString &controlPath, int finishTimeoutMs)
{
    // ssh runs on sshpass's terminal as its session leader. With -f it forks
    // the master and exits, and the terminal's hangup reaches the master
    // before it has left that session: it dies and every later ssh of the
    // run logs in on its own. Started with SIGHUP ignored, it stays up. A key
    // login has no sshpass, but keeps nohup all the same.
    const bool key = SshLogin::usesKey(passwd);
    const QStringList ssh = QStringList{kSsh} + sshArguments(port, controlPath, key)
                            + QStringList{QStringLiteral("-f"), QStringLiteral("-N"), QStringLiteral("-o"),
                                          QStringLiteral("ControlMaster=yes"), QStringLiteral("-o"),
                                          QStringLiteral("ControlPersist=15"), userid + QLatin1Char('@') + host};
    ProcessRequest request;
    if (key) {
        request.program = QStringLiteral("nohup");
        request.arguments = ssh;
    } else {
        request.program = kSshpass;
        request.arguments = QStringList{QStringLiteral("-e"), QStringLiteral("nohup")} + ssh;
        request.environment.insert(QStringLiteral("SSHPASS"), passwd);
    }
    request.startTimeoutMs = 10000;
    request.finishTimeoutMs = finishTimeoutMs;
    return request;
}

ProcessRequest sshControlRequest(const QString &host, int port, const QString &userid, const QString &controlPath,
                                 const QString &operation)
{
    ProcessRequest request;
    request.program = kSsh;
    request.arguments = sshArguments(port, controlPath, false)
                        + QStringList{QStringLiteral("-O"), operation, userid + QLatin1Char('@') + host};
    request.startTimeoutMs = 5000;
    request.finishTimeoutMs = 10000;
    return request;
}

ProcessRequest forgetHostKeyRequest(const QString &host, int port)
{
    ProcessRequest request;
    request.program = kSshKeygen;
    request.arguments = QStringList{QStringLiteral("-R"), SshLogin::knownHostsName(host, port), QStringLiteral("-f"),
                                    SshLogin::knownHostsFile()};
    request.startTimeoutMs = 5000;
    request.finishTimeoutMs = 10000;
    return request;
}

ProcessRequest knownHostLookupRequest(const QString &host, int port)
{
    ProcessRequest request = forgetHostKeyRequest(host, port);
    request.arguments[0] = QStringLiteral("-F");
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

QStringList resumeTokenArgs(const QString &dataset)
{
    return {"get", "-H", "-p", "-o", "value", "receive_resume_token", dataset};
}

QStringList treeListArgs(const QString &dataset)
{
    return {"list", "-H", "-p", "-o", "name,guid,createtxg", "-t", "snapshot", "-s", "createtxg", "-r", dataset};
}

QStringList treeTokenArgs(const QString &dataset)
{
    return {"get", "-H", "-p", "-o", "name,property,value", "-r", "-t", "filesystem,volume",
            "receive_resume_token,written", dataset};
}

QStringList datasetListArgs(const QString &dataset)
{
    return {"list", "-H", "-p", "-o", "name,guid,createtxg,receive_resume_token,written", "-t", "filesystem,volume,snapshot",
            "-s", "createtxg", "-d", "1", dataset};
}

QStringList encryptionArgs(const QString &dataset)
{
    return {"get", "-H", "-o", "value", "-r", "-t", "filesystem,volume", "encryption", dataset};
}

QStringList treeSnapshotNamesArgs(const QString &dataset)
{
    return {"list", "-H", "-o", "name", "-t", "snapshot", "-r", dataset};
}

QStringList releaseOneArgs(const QString &tag, const QString &snapshot) { return {"release", tag, snapshot}; }

QStringList recursiveSnapshotArgs(const QString &snapshot) { return {"snapshot", "-r", snapshot}; }

QString holdTag(int msnno) { return QStringLiteral("zfsrep-") + QString::number(msnno); }

QStringList holdArgs(const QString &tag, const QString &snapshot) { return {"hold", "-r", tag, snapshot}; }

QStringList releaseArgs(const QString &tag, const QString &snapshot) { return {"release", "-r", tag, snapshot}; }

QStringList holdsArgs(const QStringList &snapshots, bool recursive)
{
    QStringList arguments{"holds", "-H"};
    if (recursive)
        arguments << "-r";
    return arguments + snapshots;
}

QStringList releaseManyArgs(const QString &tag, const QStringList &snapshots)
{
    return QStringList{"release", tag} + snapshots;
}

QStringList mountpointArgs(const QString &dataset, const QString &mountpoint)
{
    return {"set", QStringLiteral("mountpoint=") + mountpoint, dataset};
}

QStringList existsArgs(const QString &dataset) { return {"list", "-H", "-o", "name", dataset}; }

QStringList destroySnapshotArgs(const QString &snapshot) { return {"destroy", "-r", snapshot}; }

QStringList destroyTreeArgs(const QString &dataset) { return {"destroy", "-r", dataset}; }

QStringList renameArgs(const QString &from, const QString &to) { return {"rename", "-u", from, to}; }

QStringList abortReceiveArgs(const QString &dataset) { return {"recv", "-A", dataset}; }

namespace {

QStringList streamArgs(const SendSpec &spec)
{
    if (!spec.token.isEmpty())
        return {"-t", spec.token};
    QStringList arguments;
    if (spec.raw)
        arguments << "-w";
    if (spec.recursive)
        arguments << "-R";
    else if (spec.base.isEmpty())
        arguments << "-p";
    if (!spec.base.isEmpty())
        arguments << (spec.intermediates && !spec.base.contains(QLatin1Char('#')) ? "-I" : "-i") << spec.base;
    arguments << spec.snapshot;
    return arguments;
}

} // namespace

QStringList sendArgs(const SendSpec &spec) { return QStringList{"send"} + streamArgs(spec); }

QStringList sendSizeArgs(const SendSpec &spec) { return QStringList{"send", "-nvP"} + streamArgs(spec); }

QStringList receiveArgs(ReceiveMode mode, const QString &dataset)
{
    if (mode == ReceiveMode::Replica)
        return {"recv", "-s", "-u", "-o", "mountpoint=none", "-x", "sharenfs", "-x", "sharesmb", "-o", "readonly=on", dataset};
    return QStringList{"recv", "-s", "-u", "-x", "readonly"} + harmlessReceiveArgs() + QStringList{dataset};
}

QStringList harmlessReceiveArgs()
{
    return {"-x", "mountpoint", "-x", "sharenfs", "-x", "sharesmb", "-o", "setuid=off", "-o", "devices=off"};
}

QStringList restoreReceiveArgs(const QString &dataset)
{
    return QStringList{"recv", "-Fu"} + harmlessReceiveArgs() + QStringList{dataset};
}

QString commandText(const QString &program, const QStringList &arguments)
{
    QString text = program;
    for (const QString &argument : arguments)
        text += QLatin1Char(' ') + shellWord(argument);
    return text;
}

ListingArgs datasetListing()
{
    const QStringList columns{"name", "type", "used", "available", "mountpoint"};
    return {{"list", "-pj"}, QStringList{"list", "-H", "-p", "-o", columns.join(QLatin1Char(','))}, columns};
}

ListingArgs poolListing()
{
    const QStringList columns{"name", "size", "free"};
    return {{"list", "-pjo", "name,size,free"}, QStringList{"list", "-H", "-p", "-o", columns.join(QLatin1Char(','))},
            columns};
}

ListingArgs snapshotUsageListing()
{
    const QStringList columns{"name", "used", "referenced"};
    return {{"list", "-t", "snapshot", "-H", "-pjo", "name,used,refer"},
            QStringList{"list", "-t", "snapshot", "-H", "-p", "-o", columns.join(QLatin1Char(','))}, columns};
}

} // namespace ZfsCommands
