// The application object: owns the replication engine, the RPC router and
// the local-socket server, builds and wires them, reads the configuration and
// starts them. One instance per process (AppData::create, IAppData()); it is
// never destroyed before the process exits.
#pragma once

#include "mxzfsrep.h"
#include "requestrouter.h"
#include "tq2core.h"
#include "tq2localserver.h"

#include <QObject>
#include <QString>

class AppData : public QObject, public TQ2Core
{
    Q_OBJECT
public:
    // The singleton, created on the first call (needs a QCoreApplication).
    static AppData *create();

    // Reads the configuration (the --cfg path, or "config.json" in
    // configDir when empty) and hands it to the engine: database opened,
    // pending missions armed. False when the file cannot be read as a JSON
    // object, the database cannot be opened, or its schema upgrade failed.
    bool initialize(const QString &configPath);
    // Starts the scheduler and the server under "lpcid". False when "lpcid"
    // is empty or the server cannot listen.
    bool start();
    // After initialize or start returned false: one English sentence naming
    // the file (or socket) and what is wrong, for standard error.
    QString failureText() const { return failure; }
    // The graceful end after the event loop: the server stops accepting, the
    // running transfer is cancelled and its outcome recorded (bounded wait).
    void shutdown(int timeoutMs);

    MXZfsrep zfsrep;
    QString appname;
    RequestRouter router;
    QString lpcid;
    TQ2LocalServer server;

private:
    AppData();

    QString configFile;
    QString failure;
};

// The application singleton; null before AppData::create().
AppData *IAppData();
