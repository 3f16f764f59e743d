// The transfer's terminal output: pv's numbers as script copies them, and
// the text a failed stage leaves. Input: one mode byte; an odd mode feeds the
// rest to the meter in pieces (the second byte sets the piece length), an
// even one gives the stage error text of the rest, whose last N bytes (N the
// second byte) are the standard error.
#include "fuzzcheck.h"
#include "pvmeter.h"
#include "stageoutput.h"
#include "zfsoutput.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data);
    if (data[0] & 1) {
        const QByteArray rest(bytes + 1, int(size - 1));
        const int piece = size > 1 ? 1 + data[1] % 64 : 1;
        PvMeter meter(size > 2 ? qint64(data[2]) * 4096 : 0);
        qint64 now = 0;
        qint64 last = 0;
        for (int at = 0; at < rest.size(); at += piece) {
            meter.feed(rest.mid(at, piece), now += 1000);
            // The count never goes back and never goes negative.
            FUZZ_CHECK(meter.bytes() >= last && meter.bytes() >= 0);
            last = meter.bytes();
            FUZZ_CHECK(meter.percent() >= 0 && meter.percent() < 100);
            FUZZ_CHECK(meter.idleMs(now) >= 0);
        }
        return 0;
    }
    const QByteArray rest(bytes + 1, int(size - 1));
    const int errorLength = size > 1 ? qMin(int(data[1]), rest.size() - 1) : 0;
    const QByteArray terminal = rest.mid(1, rest.size() - 1 - errorLength);
    const QByteArray standardError = rest.right(errorLength);
    const QString text = StageOutput::errorText(terminal, standardError);
    // Without standard error the text is made of the terminal's lines.
    if (ZfsOutput::decode(standardError).trimmed().isEmpty())
        FUZZ_CHECK(!text.contains(QLatin1Char('\r')) && text == text.trimmed());
    return 0;
}
