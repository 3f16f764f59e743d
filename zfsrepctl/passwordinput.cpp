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
volatile std::sig_atomic_t terminalFd = STDIN_FILENO;

// Restores the echo and dies of the signal as it would have.
void restoreAndRaise(int signal)
{
    if (terminalChanged)
        ::tcsetattr(terminalFd, TCSAFLUSH, &savedTerminal);
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
    // A terminal behind the descriptor (--password-fd 0 typed at the
    // keyboard) reads with echo off, as --ask-password does.
    if (::isatty(fd)) {
        QString why;
        if (!askPasswordOn(fd, QStringLiteral("Password: "), password, why)) {
            error = QStringLiteral("--password-fd %1: %2").arg(fd).arg(why);
            return false;
        }
        return true;
    }
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

bool askPasswordOn(int fd, const QString &prompt, QString &password, QString &error)
{
    if (!::isatty(fd) || ::tcgetattr(fd, &savedTerminal) != 0) {
        error = QStringLiteral("no terminal to ask for the password on");
        return false;
    }
    terminalFd = fd;
    std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
    std::fflush(stderr);
    struct sigaction restore {};
    struct sigaction previous[3] {};
    const int quitSignals[] = {SIGINT, SIGTERM, SIGQUIT};
    restore.sa_handler = restoreAndRaise;
    sigemptyset(&restore.sa_mask);
    for (int i = 0; i < 3; ++i)
        ::sigaction(quitSignals[i], &restore, &previous[i]);
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    terminalChanged = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    QByteArray line;
    QString why;
    const bool ok = terminalChanged && readLine(fd, line, why);
    if (!terminalChanged)
        why = QStringLiteral("cannot turn the echo off: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (terminalChanged)
        ::tcsetattr(fd, TCSAFLUSH, &savedTerminal);
    terminalChanged = 0;
    for (int i = 0; i < 3; ++i)
        ::sigaction(quitSignals[i], &previous[i], nullptr);
    if (!ok) {
        error = QStringLiteral("reading the password: %1").arg(why);
        return false;
    }
    password = passwordFromLine(line);
    ::explicit_bzero(line.data(), size_t(line.size()));
    return true;
}

bool askPassword(const QString &prompt, QString &password, QString &error)
{
    if (!::isatty(STDIN_FILENO)) {
        error = QStringLiteral("standard input is no terminal to ask for the password; use --password-fd N");
        return false;
    }
    return askPasswordOn(STDIN_FILENO, prompt, password, error);
}
