#include "watch.h"

#include "tq2localserver.h"
#include "tq2utils.h"

#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

QString actionName(int action)
{
    switch (action) {
    case 1: return QStringLiteral("send");
    case 2: return QStringLiteral("receive");
    case 3: return QStringLiteral("export");
    case 4: return QStringLiteral("restore");
    default: return QStringLiteral("action %1").arg(action);
    }
}

QString route(const QJsonObject &m)
{
    const QString dataset = m.value("pool").toString() + QLatin1Char('/') + m.value("name").toString();
    const QString remote = m.value("host").toString() + QLatin1Char(':') + m.value("port").toString() + QLatin1Char('/')
                           + m.value("path").toString();
    switch (toInt(m.value("action"))) {
    case 1: return dataset + QStringLiteral(" -> ") + remote;
    case 2: return remote + QStringLiteral(" -> ") + dataset;
    case 3: return dataset + QStringLiteral(" -> ") + m.value("path").toString();
    case 4: return m.value("path").toString() + QStringLiteral(" -> ") + dataset;
    default: return dataset;
    }
}

QString state(const QJsonObject &m)
{
    if (m.contains("rate") || m.contains("speed"))
        return QStringLiteral("running");
    if (toBool(m.value("done")))
        return QStringLiteral("done");
    return m.value("finishedtime").toString().isEmpty() ? QStringLiteral("waiting") : QStringLiteral("armed");
}

struct WatchOptions {
    int intervalMs = 1000;
    bool once = false;
    int untilFinished = 0;
};

bool parseWatchOptions(const QStringList &args, WatchOptions &out, QString &error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        auto number = [&](int &target, int scale) {
            bool ok = false;
            const int value = i + 1 < args.size() ? args.at(i + 1).toInt(&ok) : 0;
            if (!ok || value <= 0) {
                error = arg + QStringLiteral(" needs a positive whole number");
                return false;
            }
            target = value * scale;
            ++i;
            return true;
        };
        if (arg == QLatin1String("--once")) {
            out.once = true;
        } else if (arg == QLatin1String("--interval")) {
            if (!number(out.intervalMs, 1000))
                return false;
        } else if (arg == QLatin1String("--until-finished")) {
            if (!number(out.untilFinished, 1))
                return false;
        } else {
            error = QStringLiteral("watch: unknown argument ") + arg;
            return false;
        }
    }
    return true;
}

} // namespace

QString progressBar(int percent, int width)
{
    const int inner = qMax(1, width - 2);
    const int filled = qBound(0, percent, 100) * inner / 100;
    QString bar(inner, QLatin1Char(' '));
    for (int i = 0; i < filled; ++i)
        bar[i] = QLatin1Char('=');
    if (filled < inner && filled > 0)
        bar[filled] = QLatin1Char('>');
    return QLatin1Char('[') + bar + QLatin1Char(']');
}

QString renderMissions(const QJsonArray &records, int width)
{
    QStringList lines;
    if (records.isEmpty())
        lines.append(QStringLiteral("no missions"));
    for (const QJsonValue &value : records) {
        const QJsonObject m = value.toObject();
        QString line = QStringLiteral("#%1 %2  %3  %4  %5")
                           .arg(toInt(m.value("msnno")))
                           .arg(m.value("caption").toString(), actionName(toInt(m.value("action"))), route(m),
                                state(m));
        const QString finished = m.value("finishedtime").toString();
        if (!finished.isEmpty())
            line += QStringLiteral("  last run ") + finished;
        lines.append(line.left(width));
        if (state(m) == QLatin1String("running")) {
            const int rate = toInt(m.value("rate"));
            const QString tail = QStringLiteral(" %1%  %2").arg(rate, 3).arg(m.value("speed").toString());
            lines.append(QStringLiteral("    ") + progressBar(rate, qMax(12, width - 4 - tail.size() - 1)) + tail);
        }
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

int runWatch(const CtlOptions &options)
{
    WatchOptions watch;
    QString error;
    if (!parseWatchOptions(options.args, watch, error)) {
        std::fprintf(stderr, "zfsrepctl: %s\n", error.toLocal8Bit().constData());
        return ExitUsage;
    }
    const bool terminal = ::isatty(STDOUT_FILENO);
    QString initialFinish;
    bool first = true;
    QString previous;
    for (;;) {
        QJsonObject response;
        const QJsonObject request{{"cmd", "zfsrep_mission_alload"}};
        if (!TQ2LocalServer::localRequest(options.socket, request, &response, options.timeout, &error)) {
            std::fprintf(stderr, "zfsrepctl: zfsrep service unreachable: %s\n", error.toLocal8Bit().constData());
            return ExitUnreachable;
        }
        if (toInt(response.value("err"), -1) != 0) {
            std::fprintf(stderr, "zfsrepctl: listing failed: %s\n",
                         response.value("errmsg").toString().toLocal8Bit().constData());
            return ExitFailed;
        }
        const QJsonArray records = response.value("results").toObject().value("records").toArray();
        const QString view = renderMissions(records, 100);
        if (terminal)
            std::fputs("\033[H\033[2J", stdout);
        if (terminal || view != previous)
            std::fputs(view.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        previous = view;
        if (watch.once)
            return ExitSucceeded;
        if (watch.untilFinished > 0) {
            bool found = false;
            for (const QJsonValue &value : records) {
                const QJsonObject m = value.toObject();
                if (toInt(m.value("msnno")) != watch.untilFinished)
                    continue;
                found = true;
                const QString finished = m.value("finishedtime").toString();
                if (first)
                    initialFinish = finished;
                else if (finished != initialFinish && state(m) != QLatin1String("running"))
                    return ExitSucceeded;
            }
            if (!found) {
                std::fprintf(stderr, "zfsrepctl: mission %d does not exist\n", watch.untilFinished);
                return ExitFailed;
            }
        }
        first = false;
        QThread::msleep(static_cast<unsigned long>(watch.intervalMs));
    }
}
