// Whole-file readers. A file that cannot be opened reads as empty.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class TQ2File
{
public:
    // Every byte of the file; empty when it cannot be opened.
    static QByteArray readAll(const QString &path);
    // The file's JSON object; empty when the file is missing, does not parse
    // or holds another kind of document.
    static QJsonObject readJsonObject(const QString &path);
};
