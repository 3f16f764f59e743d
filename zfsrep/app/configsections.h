// The configuration's "notify" and "hooks" objects read into their settings,
// with one line naming the key and the fault when an entry is malformed
// ("notify.command[0]: not an absolute program path"). Pure functions of the
// parsed configuration; reentrant.
#pragma once

#include "hookdefinition.h"
#include "noticesettings.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

namespace ConfigSections {

// "notify": absent or null leaves `settings` empty (no notices). Otherwise an
// object with at most the keys "command" (a non-empty list of strings, the
// first an absolute path), "url" (http:// or https:// with a host) and "on"
// (a list of failure, recovery, success, stale; absent: failure, recovery,
// stale). False with `error` set when anything else is found.
bool notify(const QJsonObject &config, NoticeSettings &settings, QString &error);

// "hooks": absent or null: none. Otherwise an object of named entries, each
// an object with "pre" and/or "post" (argument lists as for notify.command),
// "timeout" (whole seconds, 1 to 86400, default 60) and "fatal" (true or
// false, default true). False with `error` set at the first fault.
bool hooks(const QJsonObject &config, QMap<QString, HookDefinition> &hooks, QString &error);

} // namespace ConfigSections
