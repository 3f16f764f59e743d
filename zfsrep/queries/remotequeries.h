// Remote queries: `zfs` and `zpool` on a replication partner through
// sshpass and ssh, or ssh with the service's key when no password is given
// (zfsrep_pools_remote, zfsrep_snapshot_remote), and forgetting a partner's
// recorded host key (zfsrep_hostkey_forget). Names put
// into a remote command are quoted for the remote shell; the password travels
// in the child's SSHPASS variable only. What a remote host prints is capped
// by the runner's output limit.
// Any thread; keeps no state besides the runner.
#pragma once

#include "processrunner.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

class TQ2Journals;

class RemoteQueries
{
public:
    explicit RemoteQueries(ProcessRunner &runner);

    bool remotePools(TQ2Journals &journals, QJsonObject &pools, const QString &host, int port, const QString &userid,
                     const QString &passwd) const;
    bool remoteSnapshotAllist(TQ2Journals &journals, QStringList &names, const QString &host, int port,
                              const QString &userid, const QString &passwd, const QString &dataset) const;
    bool remoteSnapshotAlload(TQ2Journals &journals, QJsonObject &tree, const QString &host, int port,
                              const QString &userid, const QString &passwd) const;
    qint64 remoteSnapshotSize(TQ2Journals &journals, const QString &host, int port, const QString &userid,
                              const QString &passwd, const QString &snapshot, const QString &base) const;
    // Forgets the key recorded for HOST:PORT in the service's known-hosts
    // file, so the next connection records the key the host shows then (a
    // reinstalled host). `found` tells whether a key was recorded. Refuses a
    // host that could be read as an option (ERR_PARAMS "参数无效: host").
    bool forgetHostKey(TQ2Journals &journals, const QString &host, int port, bool &found) const;
    // Refuses a host or user id that could change the ssh command
    // (ERR_PARAMS "参数无效: host"/"参数无效: userid").
    static bool checkEndpoint(TQ2Journals &journals, const QString &host, const QString &userid);

private:
    ProcessRunner &runner;
};
