// The transfer's terminal output: pv's display as script copies it, and the
// text a failed stage leaves. Input: one mode byte; an odd mode reads the
// rest as the progress buffer, an even one gives the stage error text of the
// rest, whose last N bytes (N the second byte) are the standard error.
#include "fuzzcheck.h"
#include "mxzfsrep.h"
#include "zfsoutput.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

namespace {

const MXZfsrep &engine()
{
    // Only its pure parsers are called: no database, no process.
    static MXZfsrep instance;
    return instance;
}

} // namespace

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
        QByteArray buffer(bytes + 1, int(size - 1));
        const int length = buffer.size();
        QString speed = QStringLiteral("untouched");
        int rate = -1;
        engine().takeProgress(speed, rate, buffer);
        FUZZ_CHECK(buffer.size() == length && !buffer.contains('\t'));
        FUZZ_CHECK(rate == -1 || (rate >= 0 && rate <= 100));
        FUZZ_CHECK(speed.size() <= 12 || speed == QLatin1String("untouched"));
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
