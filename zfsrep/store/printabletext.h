// Text from elsewhere (a remote host's or a tool's message) made fit to be
// stored and shown to people: nothing in it can drive a terminal. One pure
// function, used wherever such a text is kept (the run history's error, the
// event log, the mission listing, notices). Reentrant, no state.
#pragma once

#include <QString>

namespace PrintableText {

// The replacement character that stands for what was taken out.
constexpr char16_t kReplacement = 0xFFFD;

// `text` with every control character replaced by U+FFFD: C0 other than
// tab and newline (so also CR, BEL, backspace), DEL and C1 (U+0080-U+009F).
// An escape sequence (ESC or its C1 form followed by a CSI, an OSC or
// another string, or a two-byte sequence) becomes a single U+FFFD as a
// whole: "\e]0;title\a" and "\e[2J" leave one U+FFFD each, their
// parameters included. A string sequence (OSC, DCS, APC, PM, SOS) that is
// not terminated ends at the next newline, which stays.
QString replaced(const QString &text);

// Whether `text` holds anything replaced() would change.
bool isPrintable(const QString &text);

} // namespace PrintableText
