#include "missionnames.h"

#include <QDir>
#include <QStringList>

namespace MissionNames {

namespace {

const QString kEmpty = QStringLiteral("含有空的名称部分");
const QString kDots = QStringLiteral("含有 . 或 .. 名称部分");

QString componentsProblem(const QStringList &components)
{
    for (const QString &component : components) {
        if (component.isEmpty())
            return kEmpty;
        if (component == QLatin1String(".") || component == QLatin1String(".."))
            return kDots;
    }
    return QString();
}

} // namespace

QString datasetProblem(const QString &name) { return componentsProblem(name.split(QLatin1Char('/'))); }

QString pathProblem(const QString &path, bool directory)
{
    QString rest = path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
    if (rest.isEmpty())
        return path.isEmpty() ? kEmpty : QString();
    if (directory && rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    return componentsProblem(rest.split(QLatin1Char('/')));
}

bool isBelow(const QString &directory, const QString &path)
{
    const QString top = QDir::cleanPath(directory);
    const QString below = QDir::cleanPath(path);
    if (top.isEmpty() || below.size() <= top.size())
        return false;
    if (top == QLatin1String("/"))
        return below.startsWith(top);
    return below.startsWith(top + QLatin1Char('/'));
}

} // namespace MissionNames
