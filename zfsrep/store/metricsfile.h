// Writes the metrics text to a file atomically: a temporary file beside it is
// written, flushed to disk and renamed over the target, so a reader (such as
// node_exporter's textfile collector) sees the old text or the new one, never
// a part. Any thread; concurrent writers of one path each leave a whole file.
#pragma once

#include <QString>

namespace MetricsFile {

// False with `error` set (file and reason) when the text could not be put
// in place; the old file is then unchanged.
bool write(const QString &path, const QString &text, QString &error);

} // namespace MetricsFile
