// A file the service reads as root although a mission or the configuration
// names it (a restore's export file, the ssh identity key). It is trusted
// only when root (or the service's own user) owns it, no one else can
// write it, it is no link, and every directory above it passes the rule of
// TrustedDirectories and belongs to root (or the service's user); otherwise its owner (or whoever can replace it) would
// choose what root reads. The file is opened once (O_NOFOLLOW) and judged
// by fstat of that descriptor, so what was checked is what is read. The
// descriptor is close-on-exec except while it is lent to a child that
// reads it (setInheritable). One thread at a time; closes on destruction.
#pragma once

#include <QString>

#include <sys/types.h>

class TrustedFile
{
public:
    TrustedFile() = default;
    ~TrustedFile();
    TrustedFile(const TrustedFile &) = delete;
    TrustedFile &operator=(const TrustedFile &) = delete;

    // Opens `path` for reading and checks it; `what` names it in messages
    // ("restore file", "sshidentity"). False with `error` naming the file
    // and the rule it breaks (nothing is kept open then).
    bool open(const QString &path, const QString &what, QString &error);
    // The descriptor, -1 when none is open; its size in bytes when opened.
    int descriptor() const { return fd; }
    qint64 size() const { return bytes; }
    // Clears (true) or sets (false) close-on-exec, so that a child started
    // meanwhile inherits the descriptor under the same number.
    bool setInheritable(bool inheritable);
    // Moves the read position back to the start (a second reader).
    bool rewind();
    void close();

    // Opens, checks and closes: empty when `path` passes, else why not.
    static QString problem(const QString &path, const QString &what);

    // The rule for the file itself, pure: empty when a regular file of
    // `mode` owned by `owner` may be trusted by a service running as
    // `self`, else the reason (naming `path`, the rule and the remedy).
    static QString ownershipProblem(const QString &path, const QString &what, mode_t mode, uid_t owner, uid_t self);

    // Why a directory on the way to `directory` (links resolved) belongs to
    // someone other than root and `self`, or empty when none does.
    static QString directoryOwnerProblem(const QString &directory, uid_t self);

private:
    int fd = -1;
    qint64 bytes = 0;
};
