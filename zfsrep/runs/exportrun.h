// An export mission (action 3): a new recursive snapshot of the series, its
// replication stream written gzip-compressed (pigz when installed, gzip
// otherwise; the same format) to "<dir>/<dataset>@<snap>.gz.zsa", read back
// and checked before it takes that name; older snapshots of the series are
// erased only once the file is on disk.
#pragma once

#include "runservices.h"

#include <QString>

class Run;

class ExportRun
{
public:
    explicit ExportRun(const RunServices &services) : services(services) {}

    // Runs the mission of `run` and writes its event record; false with the
    // run's journal saying why.
    bool execute(Run &run);

    // The export file of a snapshot: its name without ":" plus ".gz.zsa",
    // resolved against the export directory (relative: the working directory).
    static QString filePath(const QString &directory, const QString &snapshot);

private:
    // Whether `file` lies directly in `directory` (the one checked and made
    // for it); false with the run's journal naming both.
    static bool isInside(Run &run, const QString &directory, const QString &file);

    const RunServices &services;
};
