// A file the service creates for itself and writes through its own
// descriptor: open(O_CREAT|O_EXCL|O_NOFOLLOW) never follows a link planted at
// the name and never opens a file someone else made there. The descriptor is
// close-on-exec except while it is lent to a child that writes into it
// (setInheritable). Owned by one thread at a time; closes on destruction.
#pragma once

#include <QString>

#include <sys/types.h>

class ExclusiveFile
{
public:
    ExclusiveFile() = default;
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile &) = delete;
    ExclusiveFile &operator=(const ExclusiveFile &) = delete;

    // Creates `path` write-only with `mode` (lessened by the umask). When a
    // regular file is at the name already and `replaceLeftover` is set, it
    // is removed first (a leftover of an earlier attempt); a link or
    // anything else at the name is refused. False with `error` naming the
    // path and the reason.
    bool create(const QString &path, mode_t mode, bool replaceLeftover, QString &error);

    // The descriptor, -1 when none is open.
    int descriptor() const { return fd; }
    // Clears (true) or sets (false) close-on-exec, so that a child started
    // meanwhile inherits the descriptor under the same number.
    bool setInheritable(bool inheritable);
    // fsync of the data written. False with `error` set.
    bool sync(QString &error);
    // Closes the descriptor; false with `error` when close reports a failure
    // of a write that was still pending.
    bool close(QString &error);

private:
    int fd = -1;
    QString path;
};
