// Argument builders for the engine's external commands: program names, shell
// quoting, endpoint checks and the ssh invocation. Pure: values in, argument
// lists or command text out. Every value that ends up in a shell command goes
// through shellQuote, so no value can change the command.
#pragma once

#include "processrunner.h"

#include <QString>
#include <QStringList>

namespace ZfsCommands {

// Program names, in one place.
inline const QString kZfs = QStringLiteral("zfs");
inline const QString kZpool = QStringLiteral("zpool");
inline const QString kZfsFullPath = QStringLiteral("/usr/sbin/zfs");
inline const QString kSshpass = QStringLiteral("sshpass");
inline const QString kScript = QStringLiteral("script");
inline const QString kSsh = QStringLiteral("ssh");
inline const QString kSshKeygen = QStringLiteral("ssh-keygen");

// The value as one word for a POSIX shell: wrapped in single quotes, every
// single quote written as '\''. The empty value becomes ''.
QString shellQuote(const QString &value);

// The value as one shell word: unchanged when it consists only of letters,
// digits and "@%+=:,./_-" (and is not empty), else shellQuote(value).
QString shellWord(const QString &value);

// The name of the first endpoint parameter that may not be used ("host" or
// "userid"), or an empty string when both are acceptable. Refused: empty after
// trimming, a leading "-", white space or control characters.
QString invalidEndpointParameter(const QString &host, const QString &userid);

// The options every ssh of the service carries: keep-alive probes (a dead
// peer ends the connection after about a minute), a connect timeout, the
// cipher order when one is set, and the connection-sharing socket of the
// current run when `controlPath` is given.
QStringList sshOptions(const QString &controlPath = QString());

// The "Ciphers" value every ssh offers (empty: ssh's own order). Set once at
// start, before any thread runs ssh.
void setCipherOrder(const QString &ciphers);
QString cipherOrder();
// The order for a CPU: AES-GCM first where `cpuFlags` (the "flags" line of
// /proc/cpuinfo) lists "aes", else empty (ssh's default, ChaCha20 first).
// Every cipher ssh offers by default stays in the list.
QString cipherOrderFor(const QString &cpuFlags);
// The "flags" of the first processor in `cpuinfo`, the text of /proc/cpuinfo
// ("flags\t\t: fpu vme ... aes avx2"); empty when it has none.
QString cpuFlags(const QByteArray &cpuinfo);
// The same, read from the file at `path` to its end (a /proc file reports
// a size of 0 whatever it holds); empty when unreadable.
QString cpuFlagsOf(const QString &path);

// sshpass -e ssh -p PORT <SshLogin::arguments> <sshOptions> USER@HOST COMMAND,
// with the password in the child's SSHPASS variable (never on the command
// line); with an empty password and an identity file set (SshLogin), the
// key logs in instead: ssh -p PORT ... -i KEY -o IdentitiesOnly=yes
// -o BatchMode=yes ... USER@HOST COMMAND, without sshpass. The remote
// command is one argument that the remote shell splits.
ProcessRequest sshRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                          const QString &remoteCommand, int startTimeoutMs, int finishTimeoutMs,
                          const QString &controlPath = QString());

// Connection sharing of one run: the master that logs in once and stays in
// the background until told to exit (or 15 s after its last client), the
// check that it is up, and the request that ends it.
//   sshpass -e nohup ssh -p PORT ... -f -N -o ControlMaster=yes -o ControlPersist=15 USER@HOST
//   (key login: nohup ssh -p PORT ... -i KEY ... -f -N ...)
//   ssh -p PORT ... -O check USER@HOST / -O exit USER@HOST
ProcessRequest sshMasterRequest(const QString &host, int port, const QString &userid, const QString &passwd,
                                const QString &controlPath, int finishTimeoutMs);
ProcessRequest sshControlRequest(const QString &host, int port, const QString &userid, const QString &controlPath,
                                 const QString &operation);

// Removes every key of HOST:PORT from the service's known-hosts file, so the
// next connection records the key the host shows then:
//   ssh-keygen -R '[HOST]:PORT' -f FILE   (just HOST for port 22)
ProcessRequest forgetHostKeyRequest(const QString &host, int port);
// Whether the service's known-hosts file holds a key of HOST:PORT (hashed
// names too); status 0 when it does, 1 when not:
//   ssh-keygen -F '[HOST]:PORT' -f FILE
//   # Host [127.0.0.1]:2222 found: line 1
ProcessRequest knownHostLookupRequest(const QString &host, int port);

// A local request with the given timeouts.
ProcessRequest localRequest(const QString &program, const QStringList &arguments, int startTimeoutMs,
                            int finishTimeoutMs);

// ---- zfs argument lists of replication (without the program name) ----

// $ zfs get -H -p -o value receive_resume_token tank/data
// 1-e604ea4bf-e0-789c63a2...   ("-" when no receive is pending)
QStringList resumeTokenArgs(const QString &dataset);
// Every snapshot of the whole tree below DATASET (one listing per side and run):
// $ zfs list -H -p -o name,guid,createtxg -t snapshot -s createtxg -r tank/data
QStringList treeListArgs(const QString &dataset);
// With what each dataset wrote since its newest snapshot:
// $ zfs get -H -p -o name,property,value -r -t filesystem,volume receive_resume_token,written tank/data
// tank/data/child	receive_resume_token	1-e604ea4bf-e0-789c63a2...
// tank/data/child	written	0
QStringList treeTokenArgs(const QString &dataset);
// One dataset with its snapshots in one listing (its children, which -d 1
// lists too, are skipped by the reader):
// $ zfs list -H -p -o name,guid,createtxg,receive_resume_token,written -t filesystem,volume,snapshot -s createtxg -d 1 tank/data/child
// tank/data/child	1380663100741485302	5	-	0
// tank/data/child@a	5406411753391731815	7	-	-
QStringList datasetListArgs(const QString &dataset);
// Every dataset of the tree, the top first:
// $ zfs get -H -o value -r -t filesystem,volume encryption tank/data
// off
// aes-256-gcm   ("off" for a dataset that is not encrypted)
QStringList encryptionArgs(const QString &dataset);
// $ zfs list -H -o name -t snapshot -r tank/data   (every snapshot of the tree)
QStringList treeSnapshotNamesArgs(const QString &dataset);
// zfs release TAG SNAPSHOT (that snapshot only)
QStringList releaseOneArgs(const QString &tag, const QString &snapshot);
// zfs snapshot -r DATASET@NAME: the dataset and all its descendants at once.
QStringList recursiveSnapshotArgs(const QString &snapshot);
// The hold tag of a mission's incremental base: "zfsrep-<msnno>".
QString holdTag(int msnno);
// zfs hold -r TAG SNAPSHOT / zfs release -r TAG SNAPSHOT
QStringList holdArgs(const QString &tag, const QString &snapshot);
QStringList releaseArgs(const QString &tag, const QString &snapshot);
// zfs holds -H [-r] SNAPSHOT...
QStringList holdsArgs(const QStringList &snapshots, bool recursive);
// zfs release TAG SNAPSHOT... (those snapshots only)
QStringList releaseManyArgs(const QString &tag, const QStringList &snapshots);
// zfs set mountpoint=PATH DATASET
QStringList mountpointArgs(const QString &dataset, const QString &mountpoint);
// zfs list -H -o name DATASET (succeeds when the dataset exists)
QStringList existsArgs(const QString &dataset);
// zfs destroy -r DATASET@NAME (the snapshot in the dataset and its descendants)
QStringList destroySnapshotArgs(const QString &snapshot);
// zfs destroy -r DATASET (the dataset with its descendants and snapshots)
QStringList destroyTreeArgs(const QString &dataset);
// zfs rename -u FROM TO (nothing is unmounted or mounted)
QStringList renameArgs(const QString &from, const QString &to);
// zfs recv -A DATASET: drops the partial state of an interrupted receive.
QStringList abortReceiveArgs(const QString &dataset);

// One replication stream: resumed from a token, or the dataset with all its
// descendants (-R) up to `snapshot`, incremental from `base` when set (-I
// carries every snapshot in between; a bookmark base, "DATASET#NAME", can
// start only one stream of one dataset: -i), raw (-w) when asked. A stream of one
// dataset alone (recursive false) completes a tree that a cut left partial;
// its full stream carries the dataset's properties (-p) as -R would.
struct SendSpec {
    QString token;
    QString snapshot; // full name
    QString base;     // full name, empty for a full stream
    bool raw = false;
    bool recursive = true;
    bool intermediates = true; // -I; false: -i, BASE and SNAPSHOT only
};
// zfs send -t TOKEN | zfs send [-w] -R [-I|-i BASE] SNAPSHOT | zfs send [-w] -i DATASET#BM SNAPSHOT
QStringList sendArgs(const SendSpec &spec);
// The dry run that estimates the stream's size:
// zfs send -nvP -t TOKEN | zfs send -nvP [-w] -R [-I BASE] SNAPSHOT
QStringList sendSizeArgs(const SendSpec &spec);

// How a stream is received.
enum class ReceiveMode {
    // A replica on a backup host: resumable (-s), not mounted now (-u) nor at
    // the host's next boot (mountpoint=none, which its descendants inherit),
    // without the source's share settings (-x sharenfs -x sharesmb),
    // read-only so that nothing on the backup host can make it diverge.
    Replica,
    // A local staging dataset of a pull: resumable and not mounted, writable
    // (-x readonly: a replica's read-only flag stays behind) and harmless
    // (harmlessReceiveArgs: the mount step under /mnt sets its own mount
    // point).
    Staging,
};
QStringList receiveArgs(ReceiveMode mode, const QString &dataset);

// What every dataset received onto this machine from elsewhere (a pull
// from a remote host, a restore from a file) does not take from its
// stream: no mount point of its own, no shares, and neither set-uid
// programs nor device nodes take effect until an admin turns them on. -o
// on the top of a -R stream is inherited by every dataset below it, over
// the stream's own values:
// -x mountpoint -x sharenfs -x sharesmb -o setuid=off -o devices=off
QStringList harmlessReceiveArgs();
// The receive of a restore, forced over the staging dataset and not mounted:
// zfs recv -Fu -x mountpoint ... -o devices=off TARGET
QStringList restoreReceiveArgs(const QString &dataset);

// PROGRAM ARG ...: an argument list as one shell command text, each
// argument one word (shellWord).
QString commandText(const QString &program, const QStringList &arguments);

// ---- local listings in both forms ----
// The JSON form is the first choice; releases before OpenZFS 2.3 have no -j
// and answer the tab-separated form of the same columns (`columns`, in -o
// order, the names the JSON listing keys its properties by).
struct ListingArgs {
    QStringList json;
    QStringList text;
    QStringList columns;
};
// Every file system and volume (snapshots too where the pool lists them):
//   zfs list -pj
//   zfs list -H -p -o name,type,used,available,mountpoint
ListingArgs datasetListing();
//   zpool list -pjo name,size,free
//   zpool list -H -p -o name,size,free
ListingArgs poolListing();
// Every snapshot with its sizes:
//   zfs list -t snapshot -H -pjo name,used,refer
//   zfs list -t snapshot -H -p -o name,used,referenced
ListingArgs snapshotUsageListing();

} // namespace ZfsCommands
