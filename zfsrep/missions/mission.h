// One mission as a run sees it: the stored row read once, when the run
// starts, into plain typed fields. Text fields are trimmed (the password is
// kept as stored); the port is the one ssh uses (22 for 0 or none). A run
// never reads the store again for its mission, so a change made while it
// runs takes effect at the next arming, not half-way through a transfer.
#pragma once

#include "transfercommands.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

struct Mission {
    // Mirror: the remote dataset tree is the source and POOL/NAME the local
    // replica, kept incrementally like a send's (a backup host that pulls).
    enum Action { Send = 1, Pull = 2, Export = 3, Restore = 4, Mirror = 5 };

    int msnno = 0;
    QString caption;
    int action = 0;
    QString pool, name, path;
    QString host;
    int port = 22;
    QString userid, passwd;
    QString snapname; // the series of the snapshots the mission makes
    bool erase = false;
    qint64 rateLimit = 0; // bytes per second, 0 without limit
    QString keepSource, keepTarget; // retention rule texts per side, empty: none
    QString carry;                  // what an incremental carries: "" or "all" (-I), "series"
    QString hook;                   // the configured hook run around the snapshot, empty: none
    QJsonArray schedules;
    bool done = false;

    // A row as the store reads it ("schedules" as JSON text, numbers as
    // numbers or text).
    static Mission fromRow(const QJsonObject &row);

    // pool + "/" + name
    QString dataset() const { return pool + QLatin1Char('/') + name; }
    // "host:port/path", how event records name the remote side.
    QString remoteLocation() const;
    TransferCommands::Endpoint endpoint() const;
    bool isScheduled() const { return !schedules.isEmpty(); }
    // Sends, mirrors and exports run again at their next time, whatever the
    // outcome.
    bool repeats() const { return action == Send || action == Export || action == Mirror; }
};
