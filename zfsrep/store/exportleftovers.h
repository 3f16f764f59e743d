// Partial export files left by a run that was interrupted (the service
// killed while compressing). An export writes "<dir>/<pool>/…/<leaf>@<snap>
// .gz.zsa.part" and renames it when complete, so at start no such file can
// belong to a running export. Only names of that form, in the directory an
// export mission writes to, are ever removed.
#pragma once

#include <QString>
#include <QStringList>

namespace ExportLeftovers {

extern const QString kPartSuffix; // ".gz.zsa.part"

// Where the export files of `dataset` ("pool/a/b") lie for the export
// directory `directory`, and the start of their names ("b@"), ":" removed
// as in the file names.
struct Place {
    QString directory;
    QString prefix;
};
Place placeOf(const QString &directory, const QString &dataset);

// True for a file name that an export of the place's dataset writes before
// its rename: the prefix, at least one character, then kPartSuffix.
bool isLeftover(const QString &fileName, const QString &prefix);

// Removes the leftovers of the place (regular files only, links and
// directories are never touched) and returns the paths removed. Nothing is
// removed in a directory that TrustedDirectories refuses.
QStringList remove(const Place &place);

} // namespace ExportLeftovers
