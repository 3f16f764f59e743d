// Command-line handling of zfsrepctl, kept free of I/O so it can be tested:
// the global options, and the request built from "key=value" words and
// --json.
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Where the service listens unless --socket says otherwise. The service takes
// its socket name from the "lpcid" key of its configuration file; this is
// the path the appliance's configuration names.
extern const char *const kDefaultSocket;
constexpr int kDefaultTimeoutSeconds = 30;

// Exit statuses.
enum CtlExit {
    ExitSucceeded = 0,   // the answer's "err" is 0
    ExitFailed = 1,      // the service answered with another code
    ExitUnreachable = 2, // no connection, or no answer in time
    ExitUsage = 64,      // bad command line
};

struct CtlOptions {
    QString socket = QString::fromLatin1(kDefaultSocket);
    int timeout = kDefaultTimeoutSeconds;
    bool help = false;
    bool version = false;
    QString command;  // the subcommand or RPC method name; empty with --help
    QStringList args; // everything after the command except global options
    bool raw = false; // --raw: answers printed exactly as they came (JSON), refusals in the service's words
};

// Reads --socket NAME, --timeout S (positive whole seconds), --help,
// --version and --raw (also in the --opt=value form) wherever they stand; the first other word
// is the command. False with `error` set on a bad option or value.
bool parseOptions(const QStringList &arguments, CtlOptions &options, QString &error);

// A word's value: JSON when the text parses as one JSON value (number,
// true/false/null, string in quotes, array, object), otherwise the text.
QJsonValue parseWordValue(const QString &text);

// The request {"cmd": command, "params": {...}} from "key=value" words and
// --json '{...}' (an object; key=value words are merged over it). "params"
// is left out when empty. False with `error` set on a malformed word.
bool buildRequest(const QString &command, const QStringList &args, QJsonObject &request,
                  QString &error);
