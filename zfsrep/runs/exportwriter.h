// Writes the replication stream of a snapshot compressed to an export file:
// first under a ".part" name, then read back and checked, flushed to disk and
// renamed; the directories from the file's up to the export directory are
// flushed last. Progress: 0-90 % while the stream is written, 90-99 % during
// the check, 100 once the file has its name.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include <QString>

class Run;
class StageRunner;
struct RunServices;

class ExportWriter
{
public:
    ExportWriter(Run &run, const RunServices &services, StageRunner &stages);

    // True only when `file` is complete, checked and durable; otherwise no
    // file is left under either name (except when only a flush after the
    // rename failed) and the journal says why.
    bool write(const QString &snapshot, const QString &file, const QString &top);

private:
    Run &run;
    const RunServices &services;
    StageRunner &stages;
};
