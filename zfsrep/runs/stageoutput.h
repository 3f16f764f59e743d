// Reading what a transfer stage showed on its terminal (`script` copies it):
// the message of a failed stage, and the newest line of pv's display. Pure
// functions of text.
#pragma once

#include <QByteArray>
#include <QString>

namespace StageOutput {

// The message of a failed stage: its standard error, or else what the
// terminal showed with pv's display and script's own notices removed; zfs's
// usage text after a message is dropped.
QString errorText(const QByteArray &terminalOutput, const QByteArray &standardError);

// Reads the newest `pv` display line of the buffer: its rate into `speed`
// and its percentage (0..100) into `rate`, only when the line ends in "%".
// Tabs in the buffer are replaced by spaces in place.
void takeProgress(QString &speed, int &rate, QByteArray &buffer);

} // namespace StageOutput
