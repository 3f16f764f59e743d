// The shell pipelines of the transfers, built in one place. Every value is
// quoted for the shell that reads it; the command run on the remote host is
// quoted twice (for the remote shell, then as one word for the local shell).
// The password never appears: sshpass reads it from SSHPASS (`-e`); a
// password-less endpoint logs in with the service's key (SshLogin).
// Pure functions: values in, command text out.
#pragma once

#include <QString>

namespace TransferCommands {

struct Endpoint {
    QString host;
    int port = 22;
    QString userid;
    QString controlPath; // the run's shared connection, when there is one
    bool passwordless = false; // the mission has no password (key login when an identity is set)
};

// sshpass -e ssh -p '22' -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile=FILE
//     -o ServerAliveInterval=15 ... 'user@host' '<remote command>'
// or, for a password-less endpoint with an identity set (SshLogin):
// ssh -p '22' ... -i KEY -o IdentitiesOnly=yes -o BatchMode=yes ... 'user@host' '<remote command>'
QString sshPrefix(const Endpoint &endpoint, const QString &remoteCommand);

// The `pv` stage of a replication stream: numeric output ("SECONDS BYTES"
// per line, once a second, forced although stderr is a pipe) for the
// engine's progress meter and stall watchdog; limited to `rateLimit` bytes
// per second when that is above 0. With a pipe-buffer helper set, pv is
// started through it:
// '/usr/sbin/zfsrep' --pipe-buffer 1048576 pv -f -n -b -t -i 1
QString pvMeter(qint64 rateLimit);
// The executable that gives pv's pipes `bytes` of buffer before it runs pv
// (the service's own, see PipeBuffer); an empty path, the default, runs pv
// directly. Set once at start-up, before any pipeline is built.
void setMeterPipeBuffer(const QString &helper, int bytes);
// SEND | PV | RECEIVE as one pipeline text; each part is already quoted.
QString stream(const QString &send, const QString &meter, const QString &receive);

// The `pv` stage of an export, check or restore: pvMeter's numbers (the
// engine computes rate and percentage of `size` from them and watches them
// for a stall), with `-s` the expected size:
// pv -f -n -b -t -i 1 -s 1234
QString pvStage(qint64 size);

// cat -- 'FILE' | pv … | gzip -dc | zfs recv -Fu -x mountpoint … -o devices=off 'TARGET'
// (ZfsCommands::restoreReceiveArgs)
QString restoreFromFile(const QString &file, qint64 size, const QString &target);

// The same pipelines with the compression stages given (Compressor's
// texts: fixed program names and numbers only, inserted as they are).
// The export writes into a descriptor the service opened itself (never a
// shell redirection to a path, which would follow a link planted there);
// the stage inherits it under the same number:
// zfs send -R 'SNAP' | pv … | pigz -6 -p 2 >&27
QString exportToDescriptor(const QString &snapshot, qint64 size, const QString &compressStage, int descriptor,
                           bool raw = false);
// cat -- 'FILE' | pv … | pigz -dc | zfs recv -Fu … 'TARGET'
QString restoreFromFileWith(const QString &file, qint64 size, const QString &decompressStage, const QString &target);
// A restore that reads the file through a descriptor the service opened
// and checked itself (TrustedFile), inherited by the stage under the same
// number: what was checked is what is read, and no name is opened again:
// cat <&27 | pv … | pigz -dc | zfs recv -Fu … 'TARGET'
QString restoreFromDescriptor(int descriptor, qint64 size, const QString &decompressStage, const QString &target);
// The read-back check of a written file, its bytes counted by pv:
// cat -- 'FILE' | pv … | pigz -t
QString checkFile(const QString &file, qint64 size, const QString &testStage);

// What a stage runs: `script` copies the terminal (so pv's display can be
// read), `-e` returns the command's status, "/dev/null" keeps it from writing
// a typescript file, and pipefail makes any failing tool fail the stage.
QString stageShellCommand(const QString &pipeline);

} // namespace TransferCommands
