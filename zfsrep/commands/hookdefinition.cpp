#include "hookdefinition.h"

#include <mutex>

namespace {

std::mutex &catalogueLock()
{
    static std::mutex lock;
    return lock;
}

QMap<QString, HookDefinition> &catalogue()
{
    static QMap<QString, HookDefinition> hooks;
    return hooks;
}

} // namespace

namespace HookCatalogue {

void set(const QMap<QString, HookDefinition> &hooks)
{
    std::lock_guard<std::mutex> guard(catalogueLock());
    catalogue() = hooks;
}

bool contains(const QString &name)
{
    std::lock_guard<std::mutex> guard(catalogueLock());
    return catalogue().contains(name);
}

bool find(const QString &name, HookDefinition &hook)
{
    std::lock_guard<std::mutex> guard(catalogueLock());
    const auto it = catalogue().constFind(name);
    if (it == catalogue().constEnd())
        return false;
    hook = it.value();
    return true;
}

} // namespace HookCatalogue
