// zfsrepctl's side of the local socket: one request, one answer, sent only
// to a service that runs as root or as the caller. Before the first byte
// goes out the socket's peer is asked for its credentials (SO_PEERCRED): a
// socket that another user serves (someone who bound the path first, or a
// stale name in /tmp taken over) never sees a request, passwords included.
#pragma once

#include <QJsonObject>
#include <QString>

#include <sys/types.h>

// Empty when a client running as `self` may talk to a peer running as
// `peer` (root, or the same user); otherwise the reason, naming both. Pure.
QString peerRefusal(uid_t peer, uid_t self);

// Connects to `socket` (a path, or a name in the temporary directory),
// checks the peer, sends `request` and waits at most `timeout` seconds for
// the answer. False with `error` set when the socket cannot be reached, its
// peer is refused, or no answer comes in time. Main thread.
bool serviceRequest(const QString &socket, const QJsonObject &request, QJsonObject *response, int timeout,
                    QString *error);
