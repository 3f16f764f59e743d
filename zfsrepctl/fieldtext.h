// The texts a user writes for one mission field on zfsrepctl's command
// line: a local dataset, a remote end and a transfer rate. Pure parsers;
// `why` says what is wrong with the text (the caller names the flag).
#pragma once

#include <QJsonObject>
#include <QString>

// "POOL/DATASET[/CHILD...]" -> "pool", "name". Refuses a text without a
// dataset below the pool, with '@', blanks, "//" or a trailing '/'.
bool parseDatasetText(const QString &text, QJsonObject &fields, QString &why);

// "[USER@]HOST[:PORT]/PATH" -> "userid" (when given), "host", "port" (when
// given, 1-65535), "path". HOST may be an IPv6 address in brackets
// ("[fe80::1]:22/backup"); a host starting with '-' is refused.
bool parseRemoteText(const QString &text, QJsonObject &fields, QString &why);

// "10M", "512K", "1.5G", "2MiB/s", "0", "none" -> bytes per second
// (binary units).
bool parseRate(const QString &text, qint64 &bytesPerSecond, QString &why);
