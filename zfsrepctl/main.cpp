// zfsrepctl: the command-line client of the zfsrep service.
//
//   zfsrepctl [--socket NAME] [--timeout S] CMD [key=value ...| --json '{...}']
//
// Sends {"cmd": CMD, "params": {...}} to the service's local socket, prints
// the answer as indented JSON and exits 0 when its "err" is 0, 1 for any
// other code, 2 when the service cannot be reached or does not answer in
// time, 64 on a bad command line. A CMD that names a subcommand of the table
// below runs that instead of a plain call.
#include "ctloptions.h"
#include "watch.h"

#include "tq2localserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <cstdio>

namespace {

struct Subcommand {
    const char *name;
    const char *summary;
    int (*run)(const CtlOptions &options);
};

void printError(const QString &message)
{
    std::fprintf(stderr, "zfsrepctl: %s\n", message.toLocal8Bit().constData());
}

// "--json -" reads the parameter object from standard input, so secrets such
// as passwords need not stand on the command line.
QStringList withStdinJson(QStringList args)
{
    for (int i = 0; i < args.size(); ++i) {
        if ((args.at(i) == QLatin1String("--json") && i + 1 < args.size() && args.at(i + 1) == QLatin1String("-"))
            || args.at(i) == QLatin1String("--json=-")) {
            QFile in;
            in.open(stdin, QIODevice::ReadOnly);
            const QString text = QString::fromUtf8(in.readAll());
            if (args.at(i) == QLatin1String("--json=-"))
                args[i] = QStringLiteral("--json=") + text;
            else
                args[i + 1] = text;
        }
    }
    return args;
}

// Any RPC method: one request, one printed answer.
int runCall(const CtlOptions &options)
{
    QJsonObject request;
    QString error;
    if (!buildRequest(options.command, withStdinJson(options.args), request, error)) {
        printError(error);
        return ExitUsage;
    }
    QJsonObject response;
    if (!TQ2LocalServer::localRequest(options.socket, request, &response, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    std::fputs(QJsonDocument(response).toJson(QJsonDocument::Indented).constData(), stdout);
    const QJsonValue err = response.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0 ? ExitSucceeded : ExitFailed;
}

// Subcommands that are not a plain RPC call.
const Subcommand kSubcommands[] = {
    {"watch", "live view of the missions: watch [--interval S] [--once] [--until-finished MSNNO]", runWatch},
};

const Subcommand *findSubcommand(const QString &name)
{
    for (const Subcommand &sub : kSubcommands) {
        if (sub.name && name == QLatin1String(sub.name))
            return &sub;
    }
    return nullptr;
}

void printUsage()
{
    std::printf("usage: zfsrepctl [--socket NAME] [--timeout S] CMD [key=value ... | --json '{...}']\n"
                "\n"
                "Calls the RPC method CMD of the zfsrep service and prints the answer.\n"
                "  --socket NAME  socket name or path (default %s)\n"
                "  --timeout S    seconds to wait for the answer (default %d)\n"
                "  key=value      a parameter; the value is read as JSON when it parses\n"
                "                 (42, true, [1,2], {\"a\":1}), otherwise taken as text\n"
                "  --json OBJECT  parameters as one JSON object (\"-\": read it from standard input)\n"
                "\n"
                "Try: zfsrepctl help_interfaces\n",
                kDefaultSocket, kDefaultTimeoutSeconds);
    bool header = false;
    for (const Subcommand &sub : kSubcommands) {
        if (!sub.name)
            continue;
        if (!header)
            std::printf("\nSubcommands:\n");
        header = true;
        std::printf("  %-12s %s\n", sub.name, sub.summary);
    }
    std::printf("\nExit status: 0 err is 0, 1 another err, 2 service unreachable or silent, 64 usage.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    CtlOptions options;
    QString error;
    if (!parseOptions(QCoreApplication::arguments().mid(1), options, error)) {
        printError(error);
        printUsage();
        return ExitUsage;
    }
    if (options.help) {
        printUsage();
        return ExitSucceeded;
    }
    if (const Subcommand *sub = findSubcommand(options.command))
        return sub->run(options);
    return runCall(options);
}
