// Whether a mission's names are names: a pool, a dataset name or a file
// path made of components, none of them empty, "." or "..", so that no name
// can climb out of the place it is put in (a dataset name resolved below an
// export directory, a restored dataset below its pool). Pure functions,
// reentrant, no state.
#pragma once

#include <QString>

namespace MissionNames {

// The reason a pool or dataset name ("tank", "data/child") is not one, or
// empty when it is: a component ("/"-separated) that is empty, "." or "..".
// An empty text has one empty component.
QString datasetProblem(const QString &name);

// The same for an absolute file or directory path: "/" alone is the root,
// and every component after the leading "/" must be a name; `directory`
// allows one trailing "/" (an export directory written "/srv/exports/").
// Does not check that the path is absolute.
QString pathProblem(const QString &path, bool directory);

// Whether `path` lies strictly below `directory`, comparing the texts after
// QDir::cleanPath (no file system access: links are the trust rule's
// business, TrustedDirectories).
bool isBelow(const QString &directory, const QString &path);

} // namespace MissionNames
