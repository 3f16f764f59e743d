// The flags of `zfsrepctl add` and `zfsrepctl edit`, turned into the mission
// fields of zfsrep_mission_append and zfsrep_mission_change. Pure: the
// password itself is read elsewhere (passwordinput.h); this only notes
// where it comes from.
//
//   add --caption TEXT KIND [FIELDS]      edit MSNNO [KIND] [FIELDS]
//   KIND:   --send POOL/DATASET --to [USER@]HOST[:PORT]/PARENT
//           --pull [USER@]HOST[:PORT]/DATASET[@SNAPSHOT] --into POOL/DATASET
//           --export POOL/DATASET --dir /DIRECTORY
//           --restore /FILE --into POOL/DATASET
//           --mirror [USER@]HOST[:PORT]/DATASET --into POOL/DATASET
//   FIELDS: --user NAME --port N --series NAME --ratelimit RATE
//           --hook NAME (send, export; "" for none)
//           --schedule TEXT (repeatable) | --once
//           --erase|--no-erase --increment|--no-increment
//           --encrypt|--no-encrypt --encrypt-key|--no-encrypt-key
//           --password-fd N | --ask-password | --no-password   --json
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Where the remote password comes from.
enum class PasswordSource {
    Unchanged, // edit: keep the stored one; add: ask on a terminal
    Prompt,    // --ask-password: ask on the terminal without echo
    Fd,        // --password-fd N: read from descriptor N
    Empty,     // --no-password: send an empty password
};

struct MissionForm {
    int msnno = 0;      // edit: the mission
    int action = 0;     // 1 send, 2 receive, 3 export, 4 restore, 5 mirror; 0: no kind flag
    QJsonObject fields; // only the fields the flags set, in the service's names
    QStringList given;  // the flags given, for messages ("--to", "--dir", ...)
    PasswordSource password = PasswordSource::Unchanged;
    int passwordFd = -1;
    bool json = false;
    bool replace = false; // add --restore: the dataset may exist and is replaced
};

// Reads the words after "add" or "edit". Errors name the flag at fault
// ("--to: no /PARENT after the host in '10.0.0.2'"). For add it also
// checks that the kind's companion flags are there (--send needs --to).
bool parseMissionForm(const QString &command, const QStringList &args, MissionForm &form, QString &error);

// zfsrep_mission_append's params: the form's fields and its action.
QJsonObject appendParams(const MissionForm &form);

// zfsrep_mission_change's params: the stored mission (as listed by
// zfsrep_mission_alload) with the form's fields over it, so that a change
// touches only what the flags name. False with `error` when a flag does not
// fit the stored mission's kind (--dir on a send).
bool changeParams(const QJsonObject &stored, const MissionForm &form, QJsonObject &params, QString &error);

// True when zfsrep_alload's results (pools with their datasets, by the
// name below the pool, under "items") hold POOL/NAME. Pure.
bool restoreTargetExists(const QJsonObject &pools, const QString &pool, const QString &name);

// True when the mission kind talks to a remote host (send, receive, mirror).
inline bool isRemoteKind(int action) { return action == 1 || action == 2 || action == 5; }
