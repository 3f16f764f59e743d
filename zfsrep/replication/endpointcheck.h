// Whether a send can reach its target before anything is snapshotted: the
// remote host logs in (password or key, its host key as recorded) and
// either holds the target tree already or holds the parent it is received
// into. A run that would fail there fails first, so an unreachable host, a
// wrong password or a missing parent costs no snapshot on the source.
// Used from the scheduler thread; reports into the caller's journal.
#pragma once

#include <QString>

class ReplicationSide;
class TQ2Journals;

namespace EndpointCheck {

// `target` is the remote side; `dataset` the replica's top (PATH/NAME).
// False with the journal naming the host and what is missing.
bool sendTarget(TQ2Journals &journals, const ReplicationSide &target, const QString &dataset);

} // namespace EndpointCheck
