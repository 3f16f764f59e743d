#include "terminal.h"

#include <QThread>
#include <QVector>

#include <csignal>
#include <cwchar>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

int charColumns(uint code)
{
    const int w = ::wcwidth(static_cast<wchar_t>(code));
    return w < 0 ? 1 : w;
}

} // namespace

int chooseColumns(int terminalColumns, const QByteArray &columnsEnv, int fallback)
{
    int columns = terminalColumns;
    if (columns <= 0) {
        bool ok = false;
        columns = columnsEnv.trimmed().toInt(&ok);
        if (!ok || columns <= 0)
            columns = fallback;
    }
    return qMax(kMinimumColumns, columns);
}

int outputColumns()
{
    winsize size{};
    int terminalColumns = 0;
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        terminalColumns = size.ws_col;
    return chooseColumns(terminalColumns, qgetenv("COLUMNS"), kFallbackColumns);
}

int textColumns(const QString &text)
{
    int columns = 0;
    for (const uint code : text.toUcs4())
        columns += charColumns(code);
    return columns;
}

QString fitText(const QString &text, int width)
{
    if (textColumns(text) <= width)
        return text;
    const QString dots = QStringLiteral("...");
    const int room = width - dots.size();
    if (room <= 0)
        return dots.left(qMax(0, width));
    QString out;
    int used = 0;
    for (const uint code : text.toUcs4()) {
        const int w = charColumns(code);
        if (used + w > room)
            break;
        used += w;
        out += QString::fromUcs4(&code, 1);
    }
    return out + dots;
}

QString elideMiddle(const QString &text, int width)
{
    if (textColumns(text) <= width)
        return text;
    const QVector<uint> codes = text.toUcs4();
    const QString dots = QStringLiteral("...");
    const int room = width - dots.size();
    if (room <= 1)
        return fitText(text, width);
    // The head gets the odd column; the tail is filled from the end.
    const int headRoom = room - room / 2;
    QString head;
    int used = 0;
    int i = 0;
    for (; i < codes.size(); ++i) {
        const int w = charColumns(codes.at(i));
        if (used + w > headRoom)
            break;
        used += w;
        head += QString::fromUcs4(&codes.at(i), 1);
    }
    QString tail;
    int tailUsed = 0;
    for (int j = codes.size() - 1; j >= i; --j) {
        const int w = charColumns(codes.at(j));
        if (used + tailUsed + w > room)
            break;
        tailUsed += w;
        tail.prepend(QString::fromUcs4(&codes.at(j), 1));
    }
    return head + dots + tail;
}

void catchInterrupt()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
}

bool isInterrupted() { return interrupted != 0; }

bool pauseUnlessInterrupted(int ms)
{
    constexpr int kStepMs = 50;
    for (int waited = 0; waited < ms && !isInterrupted(); waited += kStepMs)
        QThread::msleep(static_cast<unsigned long>(qMin(kStepMs, ms - waited)));
    return !isInterrupted();
}
