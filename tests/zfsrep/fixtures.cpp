#include "fixtures.h"

#include <QFile>

QByteArray fixture(const QString &relativePath)
{
    QFile file(QStringLiteral(ZFSREP_SOURCE_DIR "/tests/fixtures/") + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(relativePath));
    QByteArray data = file.readAll();
    while (data.startsWith("# ")) {
        const int end = data.indexOf('\n');
        data = end < 0 ? QByteArray() : data.mid(end + 1);
    }
    return data;
}
