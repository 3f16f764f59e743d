#include "fixtures.h"

#include <QFile>
#include <QStringList>

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

QByteArray datasetListing(const QString &dataset, const QString &text)
{
    QByteArray out = (dataset + "\t99\t1\t-\t0\n").toUtf8();
    int txg = 100;
    for (const QString &piece : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(':');
        out += (dataset + "@" + parts.at(0) + "\t" + parts.at(1) + "\t" + QString::number(txg++) + "\t-\t-\n").toUtf8();
    }
    return out;
}
