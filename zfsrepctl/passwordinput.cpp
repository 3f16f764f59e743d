#include "passwordinput.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

termios savedTerminal{};
volatile std::sig_atomic_t terminalChanged = 0;

// Restores the echo and dies of the signal as it would have.
void restoreAndRaise(int signal)
{
    if (terminalChanged)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// One line from `fd`, read a byte at a time so nothing after it is taken.
bool readLine(int fd, QByteArray &line, QString &error)
{
    line.clear();
    for (;;) {
        char byte = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (n == 0 || byte == '\n')
            return true;
        if (line.size() >= kMaxPasswordBytes) {
            error = QStringLiteral("longer than %1 bytes").arg(kMaxPasswordBytes);
            return false;
        }
        line.append(byte);
    }
}

} // namespace

QString passwordFromLine(const QByteArray &bytes)
{
    QByteArray line = bytes;
    const int newline = line.indexOf('\n');
    if (newline >= 0)
        line.truncate(newline);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

bool readPasswordFd(int fd, QString &password, QString &error)
{
    QByteArray line;
    QString why;
    if (!readLine(fd, line, why)) {
        error = QStringLiteral("--password-fd %1: %2").arg(fd).arg(why);
        return false;
    }
    password = passwordFromLine(line);
    ::explicit_bzero(line.data(), size_t(line.size()));
    return true;
}

bool askPassword(const QString &prompt, QString &password, QString &error)
{
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        error = QStringLiteral("standard input is no terminal to ask for the password; use --password-fd N");
        return false;
    }
    std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
    std::fflush(stderr);
    struct sigaction restore {};
    struct sigaction previous[3] {};
    const int signals[] = {SIGINT, SIGTERM, SIGQUIT};
    restore.sa_handler = restoreAndRaise;
    sigemptyset(&restore.sa_mask);
    for (int i = 0; i < 3; ++i)
        ::sigaction(signals[i], &restore, &previous[i]);
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    terminalChanged = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    QByteArray line;
    QString why;
    const bool ok = readLine(STDIN_FILENO, line, why);
    if (terminalChanged)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    terminalChanged = 0;
    for (int i = 0; i < 3; ++i)
        ::sigaction(signals[i], &previous[i], nullptr);
    if (!ok) {
        error = QStringLiteral("reading the password: %1").arg(why);
        return false;
    }
    password = passwordFromLine(line);
    ::explicit_bzero(line.data(), size_t(line.size()));
    return true;
}
