// The event-log records of the service's transfers (application "zfsrep" in
// the appliance's event log): one record per finished transfer, the listing
// behind zfsrep_log_alload and its clearing. Any thread.
#pragma once

#include <QJsonArray>
#include <QString>

#include <memory>

class QmTarnlog;

class EventRecorder
{
public:
    static const QString kApplication; // "zfsrep"

    // What one record says about a transfer.
    struct Event {
        bool succeeded = false;
        QString symbol;    // e.g. "GLOG_ZFSREP_SENDPOOL"
        QString dataset;   // the local dataset
        QString direction; // " SEND " or " RECV "
        QString caption;
        QString path;      // the mission's path
        int action = 0;
        QString from, to;
        QString error;     // the run's message when it failed
    };

    // The default event log.
    EventRecorder();
    // An event log database of its own (tests).
    explicit EventRecorder(const QString &databasePath);
    ~EventRecorder();

    // Uses the event log database at `databasePath` from now on (tests;
    // before any thread writes).
    void open(const QString &databasePath);

    // Level "Information" or "Error"; message "SYMBOL: DATASET DIRECTION PATH";
    // detail caption, action, from, to, result and, when it failed, error.
    void write(const Event &event);
    // The record of a host key forgotten at someone's request (level
    // "Information"): message "GLOG_ZFSREP_HOSTKEY_FORGET: HOSTNAME BY USER",
    // HOSTNAME as known_hosts files it ("host" or "[host]:port"), USER the
    // requester's uid and, when known, name; detail host, port, uid, user
    // and found (whether a key was recorded).
    void writeHostKeyForgotten(const QString &host, int port, const QString &hostName, long long uid,
                               const QString &user, bool found);
    // The service's records, newest first, their detail merged in.
    bool list(QJsonArray &records);
    bool clear();
    QmTarnlog &log() { return *tarnlog; }

private:
    std::unique_ptr<QmTarnlog> tarnlog;
};
