#include "tq2core.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// QCoreApplication knows the executable only once it exists; before that the
// kernel's link to the running image tells the same.
QString executableDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString target = self.canonicalFilePath();
    return target.isEmpty() ? QDir::currentPath() : QFileInfo(target).absolutePath();
}

} // namespace

TQ2Core::TQ2Core() : appDir(executableDirectory())
{
    const QString etc = appDir.absoluteFilePath(QStringLiteral("etc"));
    if (QFileInfo(etc).isDir())
        configDir = QDir(etc);
    else
        configDir = QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

TQ2Core::~TQ2Core() = default;
