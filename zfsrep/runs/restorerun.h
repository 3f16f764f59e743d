// A restore mission (action 4): an export file received back into a pool,
// through a staging dataset that takes the place of POOL/NAME only once the
// whole file was received (NAME, when empty, comes from the file's name).
// The file is opened once and checked (TrustedFile: root's, writable by no
// one else, no link, in trusted directories); the stage reads that
// descriptor.
#pragma once

#include "runservices.h"

#include <QString>

class Run;

class RestoreRun
{
public:
    explicit RestoreRun(const RunServices &services) : services(services) {}

    // Runs the mission of `run` and writes its event record; false with the
    // run's journal saying why.
    bool execute(Run &run);

    // The dataset a restore writes: `name`, or when empty the part of the
    // file name before its first "@" (empty when there is none).
    static QString datasetName(const QString &name, const QString &file);

private:
    const RunServices &services;
};
