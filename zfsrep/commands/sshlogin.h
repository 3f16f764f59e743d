// How every ssh of the service logs in and checks the host it reaches. Two
// process-wide settings, set once at start before any thread runs ssh (like
// the cipher order): the private key used when a mission or query has no
// password, and the service's own known-hosts file. Everything else is pure:
// values in, argument lists out.
//
// Host identity: the first connection to a host records its key in the
// known-hosts file (StrictHostKeyChecking=accept-new); a later connection
// that is shown another key fails instead of trusting it.
#pragma once

#include <QString>
#include <QStringList>

namespace SshLogin {

// Where the host keys live unless set otherwise: beside the database.
inline const QString kDefaultKnownHostsFile = QStringLiteral("/tarn/etc/zfs/zfsrep.known_hosts");

// The private key of password-less logins; empty: none (the default).
void setIdentityFile(const QString &path);
QString identityFile();
// The known-hosts file every ssh reads and extends.
void setKnownHostsFile(const QString &path);
QString knownHostsFile();

// True when a login with `passwd` uses the key: the password is empty and an
// identity file is set. Otherwise sshpass gives the password (as before).
bool usesKey(const QString &passwd);
bool usesKey(bool passwordless);

// ssh's own arguments before its other options:
//   -p PORT -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=FILE
// and, for a key login, -i KEY -o IdentitiesOnly=yes -o BatchMode=yes (only
// that key is offered; no prompt can wait for an answer).
QStringList arguments(int port, bool keyLogin);

// Why `path` cannot serve as the identity file, or empty when it can: it
// must be a regular file the service can read, with no permission bits for
// group or others (ssh refuses such a key as well), owned by root (or the
// service's user), no link, in directories only root can write
// (TrustedFile). Checked at start and before each run that uses the key.
QString identityProblem(const QString &path);

// Makes sure the known-hosts file exists with mode 0600 (created empty when
// missing; its directory must exist). Empty on success, else why not.
QString prepareKnownHostsFile(const QString &path);

// The name ssh files a host under in known_hosts: "host" for port 22,
// "[host]:port" otherwise.
QString knownHostsName(const QString &host, int port);

} // namespace SshLogin
