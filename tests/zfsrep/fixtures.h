// Recorded tool output under tests/fixtures/. Each file starts with comment
// lines ("# $ command (tool version)") that are not part of the output.
#pragma once

#include <QByteArray>
#include <QString>

QByteArray fixture(const QString &relativePath);
