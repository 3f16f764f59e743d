// The fixture of the tree tests: a local tree tank/src with two children and
// a grandchild, each with data of its own, changed between runs, and the
// comparison of every dataset of two trees (files and snapshots).
#pragma once

#include "tbharness.h"
#include "transferfixture.h"

#include <QTime>

namespace {

const QString kSource = "tank/src";
const QString kTarget = "backup/src";
// The datasets of the test tree below its top.
const QStringList kBelow{"c1", "c1/g", "c2"};

class Trees : public TransferE2e
{
protected:
    // tank/src with two children and a grandchild, each with data of its own.
    void makeLocalTree(quint32 seed)
    {
        makeLocalDataset("src", seed);
        for (const QString &child : kBelow) {
            ASSERT_TRUE(tb::localZfs({"create", kSource + "/" + child}).ok());
            tb::writeRandomFile(tb::localPath(kSource + "/" + child) + "/data.bin", 400000, seed + quint32(child.size()));
        }
    }

    // New data in every dataset of the local tree.
    void changeLocalTree(quint32 seed)
    {
        tb::writeRandomFile(tb::localPath(kSource) + "/more.bin", 300000, seed);
        for (const QString &child : kBelow)
            tb::writeRandomFile(tb::localPath(kSource + "/" + child) + "/more.bin", 300000, seed + quint32(child.size()));
    }

    // Every dataset of `top` (local or remote) holds the same files and the
    // same snapshots as the same place below `other`.
    bool sameTree(const QString &localTop, const QString &remoteTop, bool remoteSide = true)
    {
        for (const QString &below : QStringList{QString()} + kBelow) {
            const QString local = below.isEmpty() ? localTop : localTop + "/" + below;
            const QString remote = below.isEmpty() ? remoteTop : remoteTop + "/" + below;
            const auto theirs = remoteSide ? remoteDigest(remote) : localDigest(remote);
            const QStringList theirSnapshots = remoteSide ? remoteSnapshotNames(remote) : localSnapshotNames(remote);
            if (localDigest(local) != theirs || localSnapshotNames(local) != theirSnapshots) {
                ADD_FAILURE() << "differs at " << local.toStdString() << ": snapshots "
                              << localSnapshotNames(local).join(',').toStdString() << " / "
                              << theirSnapshots.join(',').toStdString() << ", files "
                              << (localDigest(local) == theirs ? "same" : "differ");
                return false;
            }
        }
        return true;
    }

    // The estimated bytes of `zfs send -nvP ARGS` on the local side.
    static qint64 streamSize(const QStringList &args)
    {
        const tb::Run sized = tb::localZfs(QStringList{"send", "-nvP"} + args);
        for (const QByteArray &line : sized.out.split('\n')) {
            if (line.startsWith("size\t"))
                return line.mid(5).trimmed().toLongLong();
        }
        return 0;
    }

    int minute = 20;
    QTime nextTime()
    {
        const int at = minute++;
        return QTime(10 + at / 60, at % 60, 0);
    }
};

} // namespace
