// How a tool's failure reads in a run's error: the usage text zfs adds after
// its message dropped, and a failure on the far side of ssh named with the
// host and user it happened on. Pure functions of text; reentrant.
#pragma once

#include <QString>

namespace FailureText {

// `text` without the usage text zfs prints after a message, from the line
// "usage:" to the end, and without trailing white space:
//   $ zfs snapshot -r tank/nope@x   (exit status 2)
//   cannot open 'tank/nope': dataset does not exist
//   usage:
//   	snapshot [-r] [-o property=value] ... <filesystem|volume>@<snap> ...
//   (three help lines)
// reads "cannot open 'tank/nope': dataset does not exist". A text that is
// nothing but usage is kept whole (it is all there is to say).
QString withoutUsage(const QString &text);

// "on HOST as USER: TEXT", the text without its usage; a text that already
// names that host and user is left as it is.
QString onRemote(const QString &host, const QString &user, const QString &text);

} // namespace FailureText
