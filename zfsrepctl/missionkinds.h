// The mission kinds as `zfsrepctl add` and `edit` name them: the flag that
// picks each kind, the flag it cannot do without, its word in messages, and
// which of the other flags apply to it. Pure.
//
//   action  kind flag   companion  word
//   1       --send      --to       send
//   2       --pull      --into     pull
//   3       --export    --dir      export
//   4       --restore   --into     restore
//   5       --mirror    --into     mirror
#pragma once

#include <QString>
#include <QStringList>

namespace MissionKinds {

// The highest action the client knows.
constexpr int kLastAction = 5;

// "--send" ...; "" for an action outside 1..kLastAction.
QString kindFlag(int action);
// "--to" ...; "" likewise.
QString companionFlag(int action);
// "send" ...; "mission" likewise.
QString word(int action);
// The kind flags in a list for messages: "--send, --pull, ..., --mirror".
QString kindFlagList();
// Every flag of `given` applies to `action`; false with `error` naming the
// first that does not ("--dir does not apply to send missions").
bool flagsFit(const QStringList &given, int action, QString &error);

} // namespace MissionKinds
