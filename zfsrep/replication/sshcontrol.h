// One ssh login for a whole run: a connection master started before the
// run's first remote command, whose socket every later ssh of the run uses
// (ControlPath), closed when the run ends. The socket lives in a directory
// only root can enter and is named for the mission and this process, so a
// master is never shared across runs, missions or hosts. When the master
// cannot be started the run's commands log in one by one as before. The
// master logs in like every ssh of the service (SshLogin): with the password,
// or with the service's key when the password is empty and a key is set.
// Used from the scheduler thread; the destructor closes the master.
#pragma once

#include "processrunner.h"
#include "transfercommands.h"

#include <QString>

class CancelToken;

class SshControl
{
    Q_DISABLE_COPY(SshControl)
public:
    // `directory`: where sockets are made (created 0700 when missing).
    // `cancel` (optional, not owned) ends a login in progress when set.
    SshControl(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint, const QString &passwd,
               const QString &directory, int msnno, const CancelToken *cancel = nullptr);
    ~SshControl();

    // The endpoint the run uses: with the control path once the master is
    // up, else the plain one.
    TransferCommands::Endpoint endpoint() const;
    bool isOpen() const { return open; }

    // Where the service keeps its sockets: /run/zfsrep/ssh when /run is
    // writable, else the temporary directory's zfsrep-ssh-<uid>.
    static QString defaultDirectory();

private:
    bool start(const QString &passwd, const QString &directory, int msnno, const CancelToken *cancel);

    ProcessRunner &processRunner;
    TransferCommands::Endpoint plain;
    QString path;
    bool open = false;
};
