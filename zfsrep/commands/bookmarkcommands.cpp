#include "bookmarkcommands.h"

#include <QRegularExpression>

namespace BookmarkCommands {

QString prefix(int msnno) { return QStringLiteral("zfsrep_%1_").arg(msnno); }

QString nameFor(int msnno, const QString &snapshot)
{
    static const QRegularExpression stamp(QStringLiteral("(\\d{14}(?:_\\d+)?)$"));
    const QRegularExpressionMatch match = stamp.match(snapshot);
    return prefix(msnno) + (match.hasMatch() ? match.captured(1) : snapshot);
}

bool isMissions(int msnno, const QString &bookmark)
{
    return bookmark.startsWith(prefix(msnno)) && bookmark.size() > prefix(msnno).size();
}

QStringList createArgs(const QString &snapshot, const QString &bookmark) { return {"bookmark", snapshot, bookmark}; }

QStringList destroyArgs(const QString &bookmark) { return {"destroy", bookmark}; }

QStringList treeListArgs(const QString &dataset, bool withSnapshots)
{
    return {"list", "-H", "-p", "-o", "name,guid,createtxg", "-t",
            withSnapshots ? QStringLiteral("bookmark,snapshot") : QStringLiteral("bookmark"),
            "-s", "createtxg", "-r", dataset};
}

} // namespace BookmarkCommands
