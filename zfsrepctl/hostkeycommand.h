// The subcommand that lets an operator accept a reinstalled replication
// partner, whose new ssh host key the service otherwise refuses:
//
//   zfsrepctl hostkey forget HOST [PORT] [--json]
//
// It asks the service (zfsrep_hostkey_forget) to forget the key it recorded
// for HOST:PORT (port 22 when not given); the next connection records the
// key the host shows then. Prints a short text for people, or with --json
// the answer as it came. The exit status follows the answer (CtlExit).
#pragma once

#include "ctloptions.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

struct HostKeyArgs {
    QString host;
    int port = 22;
    bool json = false;
};

// Reads "forget HOST [PORT] [--json]": the host not empty and not starting
// with "-", the port 1-65535. False with `error` set otherwise. Pure.
bool parseHostKeyArgs(const QStringList &args, HostKeyArgs &out, QString &error);

// {"cmd": "zfsrep_hostkey_forget", "params": {"host": HOST, "port": PORT}}. Pure.
QJsonObject hostKeyRequest(const HostKeyArgs &args);

// Runs the subcommand.
int runHostKey(const CtlOptions &options);
