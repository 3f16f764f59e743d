// The subcommands that act on one mission or read the service's figures:
//
//   zfsrepctl run MSNNO [--json]                  start the mission now
//   zfsrepctl cancel MSNNO [--json]               end its running transfer
//   zfsrepctl history MSNNO [--limit K] [--json]  its past runs, newest first
//   zfsrepctl metrics [--json]                    Prometheus text exposition
//
// Each sends one request and prints a short text for people, or with --json
// the service's answer as it came ({"err": ..., "results": ...}). The exit
// status follows the answer as for any RPC call (CtlExit).
#pragma once

#include "ctloptions.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Runs asked for when `history` has no --limit.
constexpr int kDefaultHistoryLimit = 20;

struct MissionArgs {
    int msnno = 0;
    int limit = kDefaultHistoryLimit;
    bool json = false;
    bool wait = false; // run: follow the run to its end (runwait.h)
};

// True when `command` is one of run, cancel, history, metrics.
bool isMissionCommand(const QString &command);

// Reads the words after the subcommand: the mission number (a positive
// whole number; run, cancel and history need exactly one, metrics none),
// --limit K (history only, 1..1000000, also --limit=K), --wait (run only)
// and --json. False
// with `error` set otherwise. Pure.
bool parseMissionArgs(const QString &command, const QStringList &args, MissionArgs &out, QString &error);

// The request the subcommand sends, e.g. {"cmd": "zfsrep_mission_run",
// "params": {"msnno": 3}}. Pure.
QJsonObject missionRequest(const QString &command, const MissionArgs &args);

// What people read after a successful answer (ends in a newline). Pure.
QString missionAnswerText(const QString &command, const MissionArgs &args, const QJsonObject &answer);

// Runs one of the four subcommands.
int runMissionCommand(const CtlOptions &options);
