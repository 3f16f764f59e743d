// The pruning of a run that succeeded: the mission's retention rules
// ("keepsource", "keeptarget") read into a prune request with its series and
// owner mark, carried out by the snapshot pruner, the counts noted in the
// run record. A rule text that does not read (a row stored around the
// validator) prunes nothing on its side and the journal says why.
// Used on the scheduler thread by the run it is made for, and only after the
// target was verified and the run was not cancelled.
#pragma once

#include "pruneplanner.h"

class ReplicationSide;
class Run;
struct RunServices;

namespace RetentionStep {

// Whether the mission has a rule for the source / for the target.
bool hasSourceRule(const Run &run);
bool hasTargetRule(const Run &run);

// Prunes the source tree (the mission's dataset) by "keepsource" and, with
// a target, the target tree by "keeptarget"; without a target, `base` is the
// snapshot the run exported.
void prune(Run &run, const RunServices &services, const ReplicationSide &source, const ReplicationSide *target,
           const QString &targetDataset, const QString &base = QString());
// The same with the source tree named: a mirror's source is the remote
// dataset, its target the local replica.
void pruneTree(Run &run, const RunServices &services, const ReplicationSide &source, const QString &sourceDataset,
               const ReplicationSide *target, const QString &targetDataset, const QString &base = QString());

} // namespace RetentionStep
