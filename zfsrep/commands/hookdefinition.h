// The commands an administrator runs around a mission's snapshot: a named
// entry of the configuration's "hooks" with a `pre` and/or `post` argument
// list (absolute program first), a timeout and whether a failed `pre` fails
// the run. The catalogue is the service's set of them, fixed at start-up
// from the configuration; any thread reads it (the validator, the runs).
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

struct HookDefinition {
    static constexpr int kDefaultTimeoutSeconds = 60;

    QString name;
    QStringList pre;  // empty: no command before the snapshot
    QStringList post; // empty: no command after it
    int timeoutSeconds = kDefaultTimeoutSeconds;
    bool fatal = true; // whether a failed `pre` fails the run
};

namespace HookCatalogue {

// Replaces the catalogue (start-up, tests).
void set(const QMap<QString, HookDefinition> &hooks);
// Whether a hook of that name is configured.
bool contains(const QString &name);
// The hook named `name`; false when there is none.
bool find(const QString &name, HookDefinition &hook);

} // namespace HookCatalogue
