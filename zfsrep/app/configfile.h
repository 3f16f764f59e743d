// Reading the service's configuration file, with a reason when it cannot be
// used. Pure apart from reading the one file; reentrant.
#pragma once

#include <QJsonObject>
#include <QString>

namespace ConfigFile {

// Reads `path` as one JSON object into `config`. On failure `config` is left
// empty and `error` holds one English sentence naming the file and what is
// wrong (missing, unreadable, not JSON with the parser's reason and offset,
// or JSON that is not an object); the result is then false.
bool read(const QString &path, QJsonObject &config, QString &error);

} // namespace ConfigFile
