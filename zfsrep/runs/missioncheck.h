// The dry run of a mission (`zfsrep_mission_check`): what its next run
// needs, looked at without sending or writing anything. For a send: the
// local dataset, the login to the remote host, the host key on record, the
// replica or the parent it is received into (the same EndpointCheck a send
// runs before its snapshot) and the space left there against an estimate of
// the stream; a pull the other way round, and a mirror as well (the remote
// source, the local replica or its parent, the space here); an export its dataset, directory
// and space; a restore its file and pool. The only thing written is what any
// first connection writes: ssh records an unknown host's key.
//
// Runs on the caller's thread (an RPC connection thread), beside a run of the
// same mission if one goes: every ssh logs in by itself, no shared login.
#pragma once

#include "mission.h"
#include "runservices.h"

#include <QJsonObject>
#include <QList>
#include <QString>

class ReplicationSide;
struct TreeListing;

class MissionCheck
{
public:
    // One line of the answer: what was checked, whether it passed, and a
    // sentence saying what was found (a failure's tool text as it came,
    // named with host and user when it came from the far side).
    struct Line {
        QString check; // "local dataset", "login", "host key", "target", "space", ...
        bool ok = false;
        QString text;
        QJsonObject toJson() const;
    };

    explicit MissionCheck(const RunServices &services) : services(services) {}

    // The lines of `mission`'s checks in the order they ran; a check whose
    // premise failed (no login: no target, no space) is left out.
    QList<Line> check(const Mission &mission) const;

    // {"ok": all lines passed, "checks": [line, ...]}.
    static QJsonObject toJson(const QList<Line> &lines);
    // Bytes for people in the lines' texts: "512 B", "1.5 MiB", "2.0 GiB".
    static QString bytesText(qint64 bytes);

private:
    QList<Line> checkSend(const Mission &mission) const;
    QList<Line> checkPull(const Mission &mission) const;
    QList<Line> checkMirror(const Mission &mission) const;
    QList<Line> checkExport(const Mission &mission) const;
    QList<Line> checkRestore(const Mission &mission) const;
    // Logs in, lists `dataset` on the remote side and confirms its host key,
    // adding the "login" and "host key" lines; false when the login failed.
    bool remoteLogin(const Mission &mission, const ReplicationSide &remote, const QString &dataset,
                     TreeListing &tree, QList<Line> &lines) const;

    RunServices services;
};
