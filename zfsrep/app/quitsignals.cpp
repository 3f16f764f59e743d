#include "quitsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int quitPipe[2] = {-1, -1};

void handle(int signal)
{
    if (signal != SIGINT && signal != SIGTERM)
        return;
    const int saved = errno;
    static const char message[] = "Wait for quit ...\n";
    ssize_t ignored = ::write(STDOUT_FILENO, message, sizeof(message) - 1);
    const char byte = static_cast<char>(signal);
    ignored = ::write(quitPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void createPipe()
{
    if (quitPipe[0] >= 0)
        return;
    if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(quitPipe[0], bytes, sizeof(bytes)) > 0) {
        }
        QCoreApplication::quit();
    });
}

} // namespace

void QuitSignals::install(int signal)
{
    createPipe();
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}
