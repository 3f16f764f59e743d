// What a run of a mission touches, for deciding which runs may go side by
// side: the local dataset tree, the remote endpoint (host and port) and the
// remote dataset tree there. Two runs on the same side (this machine, or the
// same remote endpoint) whose trees overlap must not run at once. Pure.
#pragma once

#include <QString>

struct Mission;

struct RunFootprint {
    QString localTree;  // the local dataset the run works on; empty: none
    QString endpoint;   // "host:port" of the remote side; empty: none
    QString remoteTree; // the dataset on the remote side; empty: none

    // A send or export: POOL/NAME here; a pull, restore or mirror: the local
    // replica POOL/NAME. A send: PATH/NAME on its endpoint; a pull or mirror:
    // PATH, the remote dataset.
    static RunFootprint of(const Mission &mission);

    // Whether one tree equals the other or lies inside it by whole
    // components ("tank/a" and "tank/a/b" overlap, "tank/a" and "tank/ab" do
    // not). An empty tree overlaps nothing.
    static bool treesOverlap(const QString &a, const QString &b);

    bool overlapsLocally(const RunFootprint &other) const { return treesOverlap(localTree, other.localTree); }
    // Same endpoint and overlapping remote trees.
    bool overlapsRemotely(const RunFootprint &other) const;
};
