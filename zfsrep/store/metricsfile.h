// Writes the metrics text to a file atomically: a temporary file beside it is
// written, flushed to disk and renamed over the target, so a reader (such as
// node_exporter's textfile collector) sees the old text or the new one, never
// a part. The temporary file is created with O_EXCL|O_NOFOLLOW and renamed
// over the name, so a link planted at either name is never written through;
// the file has mode 0644. A directory other users can write is refused (as
// TrustedDirectories judges it).
// Any thread; concurrent writers of one path each leave a whole file.
#pragma once

#include <QString>

namespace MetricsFile {

// False with `error` set (file and reason) when the text could not be put
// in place (also when its directory is refused); the old file is then
// unchanged.
bool write(const QString &path, const QString &text, QString &error);

} // namespace MetricsFile
