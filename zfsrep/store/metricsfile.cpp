#include "metricsfile.h"

#include "trusteddirectories.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MetricsFile {

namespace {

// node_exporter, which reads the file, runs as a user of its own.
constexpr mode_t kFileMode = 0644;
constexpr int kNameAttempts = 16;

QString reason(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

// A new file beside `path` that nobody else can have made or linked:
// O_CREAT|O_EXCL|O_NOFOLLOW under a random name. -1 with errno set when no
// name could be taken.
int createTemporary(const QString &path, QString &temporary)
{
    const QFileInfo info(path);
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        temporary = info.absolutePath() + QStringLiteral("/.") + info.fileName()
                    + QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        do {
            fd = ::open(QFile::encodeName(temporary).constData(),
                        O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, kFileMode);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

} // namespace

bool write(const QString &path, const QString &text, QString &error)
{
    if (!TrustedDirectories::check(QFileInfo(path).absolutePath(), error)) {
        error = path + QStringLiteral(": ") + error;
        return false;
    }
    QString temporary;
    const int fd = createTemporary(path, temporary);
    if (fd < 0) {
        error = path + QStringLiteral(": cannot create a temporary file: ") + reason(errno);
        return false;
    }
    // The mode is set on the descriptor: the umask must not narrow it, and
    // nothing is changed through the path.
    const QByteArray bytes = text.toUtf8();
    bool ok = ::fchmod(fd, kFileMode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    // rename(2) replaces whatever entry has the name, a link included,
    // without following it.
    if (ok && std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(QFile::encodeName(temporary).constData());
        error = path + QStringLiteral(": ") + reason(code);
        return false;
    }
    return true;
}

} // namespace MetricsFile
