// Recorded tool output under tests/fixtures/. Each file starts with comment
// lines ("# $ command (tool version)") that are not part of the output.
#pragma once

#include <QByteArray>
#include <QString>

QByteArray fixture(const QString &relativePath);

// One dataset's listing for a scripted run: its line, then a snapshot line
// per "name:guid" piece of `text`, in order.
QByteArray datasetListing(const QString &dataset, const QString &text);
