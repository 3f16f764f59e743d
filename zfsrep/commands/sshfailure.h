// Reading ssh's own failure texts. Pure functions of text; reentrant.
#pragma once

#include <QString>

namespace SshFailure {

// When `errorText` holds ssh's warning that a host shows another key than
// the known-hosts file holds, one line naming the host, the new key and how
// an operator accepts it; otherwise empty. ssh prints (OpenSSH 9.2):
//   @    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @
//   ...
//   The fingerprint for the ED25519 key sent by the remote host is
//   SHA256:Wbw5JE5Iznyk69zwNUt+8TAJyoRqt+jrmIKkAF1kBMg.
//   ...
//   Host key for [127.0.0.1]:22917 has changed and you have requested strict checking.
//   Host key verification failed.
// The line: "host key of [127.0.0.1]:22917 has changed (now ED25519
// SHA256:Wbw5...): refused; if the host was reinstalled, run
// zfsrepctl hostkey forget 127.0.0.1 22917". Line ends may be "\r\n"
// (ssh writing to a terminal).
QString hostKeyChanged(const QString &errorText);

// `errorText`, or the line above instead when it is the changed-key warning.
QString explained(const QString &errorText);

} // namespace SshFailure
