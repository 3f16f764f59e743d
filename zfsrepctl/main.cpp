// zfsrepctl: the command-line client of the zfsrep service.
//
//   zfsrepctl [--socket NAME] [--timeout S] CMD [key=value ...| --json '{...}']
//   zfsrepctl [--socket NAME] [--timeout S] SUBCOMMAND [ARGUMENTS]
//
// Sends {"cmd": CMD, "params": {...}} to the service's local socket, prints
// the answer as indented JSON and exits 0 when its "err" is 0, 1 for any
// other code, 2 when the service cannot be reached or does not answer in
// time, 64 on a bad command line. A CMD that names a subcommand of the table
// below runs that instead of a plain call (`status` exits with the
// monitoring plugins' codes instead, see statuscheck.h).
#include "checkcommand.h"
#include "ctloptions.h"
#include "errortext.h"
#include "hostkeycommand.h"
#include "listcommand.h"
#include "manpage.h"
#include "missioncommands.h"
#include "missiondetail.h"
#include "missionedit.h"
#include "safeoutput.h"
#include "statuscheck.h"
#include "watch.h"

#include "serviceclient.h"
#include "tq2utils.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

namespace {

struct Subcommand {
    const char *name;
    const char *summary;
    int (*run)(const CtlOptions &options);
};

void printError(const QString &message) { SafeOutput::printError(message); }

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
    QStringList args = options.args;
    const bool raw = options.raw;
    if (!buildRequest(options.command, withStdinJson(args), request, error)) {
        printError(error);
        return ExitUsage;
    }
    QJsonObject response;
    if (!serviceRequest(options.socket, request, &response, options.timeout, &error)) {
        printError(QStringLiteral("zfsrep service unreachable: %1").arg(error));
        return ExitUnreachable;
    }
    // People at a terminal see no stored password; programs reading a pipe
    // get the passwords as they came. Control characters are escaped in
    // both (the same JSON value); --raw prints the answer as it came.
    const bool mask = !raw && ::isatty(STDOUT_FILENO);
    const QJsonObject shown = mask ? maskSecrets(response).toObject() : response;
    const QByteArray text = QJsonDocument(shown).toJson(QJsonDocument::Indented);
    const QByteArray printed = raw ? text : SafeOutput::escapedJson(text);
    std::fwrite(printed.constData(), 1, size_t(printed.size()), stdout);
    const QJsonValue err = response.value(QStringLiteral("err"));
    const bool succeeded = err.isDouble() && err.toDouble() == 0;
    // The answer above is for programs; people get the reason in English.
    if (!succeeded && !raw) {
        RefusalContext context;
        context.what = context.command = context.method = options.command;
        context.msnno = qMax(0, toInt(request.value(QStringLiteral("params")).toObject().value(QStringLiteral("msnno"))));
        printError(refusalLine(response, context, false));
    }
    return succeeded ? ExitSucceeded : ExitFailed;
}

// Subcommands that are not a plain RPC call.
// The usage text is also the source of the manual page (help2man): option
// lines start with two blanks and a dash, sections end in a colon.
const Subcommand kSubcommands[] = {
    {"add", "add --caption TEXT KIND [FIELDS] [--json]\n"
            "    create a mission (zfsrep_mission_append). KIND is one of\n"
            "      --send POOL/DATASET --to [USER@]HOST[:PORT]/PARENT\n"
            "      --pull [USER@]HOST[:PORT]/DATASET[@SNAPSHOT] --into POOL/DATASET\n"
            "      --export POOL/DATASET --dir /DIRECTORY\n"
            "      --restore /FILE --into POOL/DATASET\n"
            "      --mirror [USER@]HOST[:PORT]/DATASET --into POOL/DATASET\n"
            "                         this host pulls DATASET's tree incrementally from\n"
            "                         HOST on every run (a backup host that pulls)\n"
            "    FIELDS (all optional):\n"
            "      --user NAME        remote user (or USER@ in --to/--pull/--mirror)\n"
            "      --port N           ssh port (default 22)\n"
            "      --series NAME      snapshot series (default ZFSREP)\n"
            "      --ratelimit RATE   bytes per second: 10M, 512K, 1.5G, 0 or none\n"
            "      --hook NAME        send, export: the configured hook run around the\n"
            "                         snapshot (\"hooks\" in the service's configuration);\n"
            "                         '' for none\n"
            "      --schedule TEXT    when to run, e.g. 'days=mon-fri hours=1,13 minutes=30';\n"
            "                         repeat for several; parts months=jan-dec dates=1-31\n"
            "                         days=mon-sun hours=0-23 minutes=0-59, each a list of\n"
            "                         values, A-B ranges, * and /STEP (minutes=*/15); a\n"
            "                         part left out below the finest one given is its first\n"
            "                         value: 'hours=2' is 02:00, 'days=mon' Monday 00:00 (every\n"
            "                         minute of hour 2: 'hours=2 minutes=*'); a date that never\n"
            "                         comes (dates=31 months=feb) is refused\n"
            "      --once             no schedule: run once at the next minute (default)\n"
            "      --erase, --no-erase          erase older snapshots of the series (a\n"
            "                         mirror's on the remote host it pulls from)\n"
            "      --keep-source RULE  which of the mission's own snapshots the source keeps\n"
            "                         after each verified run (send, export, mirror;\n"
            "                         replaces --erase): a count of the newest, then one\n"
            "                         per period for a span,\n"
            "                         e.g. 10,1h24h,1d30d,1w12w,1m1y; periods and spans in\n"
            "                         h, d, w (ISO week), m, y of local time, spans counted\n"
            "                         back from the newest snapshot; none removes the rule\n"
            "      --keep-target RULE  the same for the replica of a send or a mirror\n"
            "      --carry all|series  what the incremental of a send or mirror carries: every\n"
            "                         snapshot between base and newest (all, the default) or the\n"
            "                         mission's own snapshots only, one stream each (series)\n"
            "      --increment, --no-increment  stored flags, not used by the service\n"
            "      --encrypt, --no-encrypt, --encrypt-key, --no-encrypt-key  likewise\n"
            "      --password-fd N    read the remote password (one line) from descriptor N\n"
            "      --ask-password     ask for it on the terminal (the default for add)\n"
            "      --no-password      send an empty password (the service decides)\n"
            "    The password is never taken from the command line. A restore into an existing\n"
            "    dataset is refused unless --replace is given.\n"
            "    Example: zfsrepctl add --caption nightly --send tank/data --to root@backup1/backup", runAdd},
    {"list", "list [--json]\n"
             "    one line per mission: number, caption, kind, from, to, state, next run and the\n"
             "    outcome of its last run. Example: zfsrepctl list", runList},
    {"remove", "remove MSNNO [--yes] [--json]\n"
               "    remove mission MSNNO and its run history; asks on a terminal, --yes (-y)\n"
               "    removes without asking (needed when standard input is no terminal).\n"
               "    Example: zfsrepctl remove 3 --yes", runRemove},
    {"edit", "edit MSNNO [KIND] [FIELDS] [--json]\n"
             "    change only the given fields of mission MSNNO (read, change, send as\n"
             "    zfsrep_mission_change); --schedule replaces all schedules, --once removes\n"
             "    them; the kind and the caption stay; the password stays unless\n"
             "    --password-fd, --ask-password or --no-password is given.\n"
            "    Example: zfsrepctl edit 3 --schedule 'hours=*/6 minutes=0'", runEdit},
    {"show", "show MSNNO [--json]\n"
             "    one mission, readably, its password masked; an export also names the file its\n"
             "    newest run wrote. Example: zfsrepctl show 3", runShow},
    {"check", "check MSNNO [--json]\n"
              "    a dry run of mission MSNNO: logs in, looks at the local dataset, the remote\n"
              "    parent or source dataset, the host key and the free space against an estimate;\n"
              "    sends nothing. One line per check; exits 0 when all passed, 1 otherwise.\n"
              "    Example: zfsrepctl check 3", runCheck},
    {"run", "run MSNNO [--wait] [--json]\n"
            "    start mission MSNNO now; refused while it or another transfer runs. --wait\n"
            "    follows that run to its end (progress on a terminal, else only the outcome\n"
            "    line) and exits 0 succeeded, 1 failed, 3 cancelled or interrupted.\n"
            "    Example: zfsrepctl run 3 --wait", runMissionCommand},
    {"cancel", "cancel MSNNO [--json]\n"
               "    end the running transfer of mission MSNNO; the run is recorded as cancelled.\n"
               "    Example: zfsrepctl cancel 3", runMissionCommand},
    {"history", "history MSNNO [--limit K] [--json]\n"
                "    the last K runs of mission MSNNO (default 20), newest first: start, duration,\n"
                "    kind, outcome, bytes, average rate, snapshots, the file an export wrote and the\n"
                "    error of a failed run. Example: zfsrepctl history 3 --limit 5", runMissionCommand},
    {"metrics", "metrics [--json]\n"
                "    the service's figures in Prometheus text exposition format.\n"
                "    Example: zfsrepctl metrics", runMissionCommand},
    {"watch", "watch [MSNNO] [--interval S] [--once] [--until-finished MSNNO] [--width N] [--json]\n"
              "    live view of the missions (of mission MSNNO alone when given; running missions\n"
              "    first): state, last and next run, the error of a failed run,\n"
              "    progress of the running transfer (bytes done of total, speed, ETA), fitted to\n"
              "    the terminal's width (--width or $COLUMNS when it is no terminal). Ctrl-C or the\n"
              "    service going away ends it with status 0; --until-finished MSNNO ends it when that\n"
              "    mission's run going on (or about to start) ends, at once with the last outcome\n"
              "    when none is, with status 1 when the run did not succeed.\n"
              "    Example: zfsrepctl watch 3 --until-finished 3", runWatch},
    {"hostkey", "hostkey forget HOST [PORT] [--json]\n"
                "    forget the ssh host key the service recorded for HOST (port 22 unless given),\n"
                "    after that host was reinstalled: the next connection records its new key.\n"
                "    Until then a changed key fails every run and query to that host.\n"
                "    Example: zfsrepctl hostkey forget 10.0.0.2", runHostKey},
    {"status", "status [--json]\n"
               "    health for a monitoring system: a summary line, then one line per mission that\n"
               "    is failing (its last run failed or stalled) or stale (scheduled, no success for\n"
               "    twice its schedule's period). Exit status as monitoring plugins have it:\n"
               "    0 OK, 1 WARNING (a mission stale), 2 CRITICAL (a mission failing, or the\n"
               "    scheduler has not passed for 5 minutes), 3 UNKNOWN (no service); --json prints\n"
               "    the judgement as one object (not the service's answer).\n"
               "    Example: zfsrepctl status", StatusCheck::runStatus},
};

const Subcommand *findSubcommand(const QString &name)
{
    for (const Subcommand &sub : kSubcommands) {
        if (name == QLatin1String(sub.name))
            return &sub;
    }
    return nullptr;
}

void printUsage(bool subcommands = true)
{
    std::printf("Usage: zfsrepctl [--socket NAME] [--timeout S] METHOD [key=value ...] [--json OBJECT]\n"
                "  or:  zfsrepctl [--socket NAME] [--timeout S] SUBCOMMAND [ARGUMENTS]\n"
                "\n"
                "Command-line client of the zfsrep ZFS replication service. Calls the RPC method\n"
                "METHOD of the service through its local socket and prints the answer as JSON, or\n"
                "runs one of the subcommands below.\n"
                "\n"
                "Options:\n"
                "  --socket NAME  socket name or path (default %s)\n"
                "  --timeout S    seconds to wait for an answer (default %d)\n"
                "  --json OBJECT  parameters as one JSON object; \"-\" reads it from standard input,\n"
                "                 the way to pass passwords\n"
                "  --raw          print the answer exactly as it came (JSON, also for a\n"
                "                 subcommand): stored passwords in clear, control characters\n"
                "                 as the service sent them, a refusal with the service's own\n"
                "                 message instead of the English sentence\n"
                "  --help         show this help and exit\n"
                "  --version      show the version and exit\n"
                "\n"
                "A key=value word is one parameter; the value is read as JSON when it parses\n"
                "(42, true, [1,2], {\"a\":1}), otherwise taken as text. Try: zfsrepctl help_interfaces\n",
                kDefaultSocket, kDefaultTimeoutSeconds);
    if (subcommands) {
        std::printf("\nSubcommands:\n");
        for (const Subcommand &sub : kSubcommands)
            std::printf("  %s\n", sub.summary);
    } else {
        std::printf("\nThe subcommands are described below.\n");
    }
    std::printf("\nRefusals are printed as one English sentence with the service's code, e.g.\n"
                "\"run mission 99: mission 99 does not exist (err 9994)\"; --raw prints the\n"
                "service's own message instead.\n");
    std::printf("\nWith --json a subcommand prints the service's answer as JSON\n"
                "({\"err\": 0, \"results\": ...}), stored passwords masked as ********;\n"
                "watch prints one such line per listing. Text for people (show, watch,\n"
                "history, and answers printed on a terminal) masks them too. Control\n"
                "characters in what the service sends are escaped everywhere but with --raw.\n"
                "\n"
                "zfsrepctl talks only to a socket served by root or by the caller (SO_PEERCRED);\n"
                "another peer is refused before anything is sent (exit status 2).\n"
                "\n"
                "Exit status:\n"
                "  0 the answer's err is 0, 1 another err (or a failed run for watch\n"
                "  --until-finished and run --wait), 2 the service is unreachable or silent,\n"
                "  3 a cancelled or interrupted run for run --wait, 64 a bad command line,\n"
                "  130 Ctrl-C ended run --wait (the run goes on).\n"
                "  Every subcommand that names a mission exits 1 when it does not exist\n"
                "  (history included).\n"
                "  status alone follows the monitoring plugins: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // What the build hands to help2man: the usage without the subcommands,
    // and the subcommands as a section of their own.
    if (argc == 2 && qstrcmp(argv[1], "--man-help") == 0) {
        printUsage(false);
        return ExitSucceeded;
    }
    if (argc == 2 && qstrcmp(argv[1], "--man-subcommands") == 0) {
        QList<QPair<QString, QString>> table;
        for (const Subcommand &sub : kSubcommands)
            table.append({QLatin1String(sub.name), QString::fromUtf8(sub.summary)});
        std::fputs(ManPage::subcommandsSection(table).toUtf8().constData(), stdout);
        return ExitSucceeded;
    }
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
    if (options.version) {
        std::printf("zfsrepctl %s\n", ZFSREP_VERSION);
        return ExitSucceeded;
    }
    if (const Subcommand *sub = findSubcommand(options.command)) {
        // --raw may stand among the subcommand's words too.
        options.raw = options.args.removeAll(QStringLiteral("--raw")) > 0 || options.raw;
        return sub->run(options);
    }
    return runCall(options);
}
