// The parsers of zfs and zpool output. Input: one selector byte, then the
// tool's output; the parsers that read two listings take the part before the
// first NUL byte as the first and the rest as the second (for the
// tab-separated listings: datasets, then pools; the first also as snapshots).
#include "fuzzcheck.h"
#include "zfsoutput.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray output(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int nul = output.indexOf('\0');
    const QByteArray first = nul < 0 ? output : output.left(nul);
    const QByteArray second = nul < 0 ? QByteArray() : output.mid(nul + 1);
    switch (data[0] % 9) {
    case 0: {
        const QString text = ZfsOutput::decode(output);
        FUZZ_CHECK(!text.contains(QChar(0)));
        for (const QString &line : ZfsOutput::lines(text)) {
            FUZZ_CHECK(!line.isEmpty() && !line.contains(QLatin1Char('\n')));
            for (const QString &field : ZfsOutput::fields(line))
                FUZZ_CHECK(!field.isEmpty() && !field.contains(QLatin1Char('\t')) && !field.contains(QLatin1Char(' ')));
        }
        break;
    }
    case 1:
        ZfsOutput::poolMap(first, second);
        break;
    case 2:
        for (const QJsonValue &record : ZfsOutput::snapshotRecords(output))
            FUZZ_CHECK(record.isObject());
        break;
    case 3:
        FUZZ_CHECK(ZfsOutput::sendSize(output) >= 0 || output.contains("size"));
        break;
    case 4:
        for (const auto &hold : ZfsOutput::holds(output))
            FUZZ_CHECK(!hold.first.isEmpty() && !hold.second.isEmpty());
        break;
    case 5:
        ZfsOutput::remotePools(output);
        break;
    case 6:
        for (const QString &name : ZfsOutput::snapshotNames(output))
            FUZZ_CHECK(name == name.trimmed());
        break;
    case 7:
        ZfsOutput::snapshotTree(first, second);
        break;
    default: {
        const QJsonObject datasets = ZfsOutput::textListing(first, {"name", "type", "used", "available", "mountpoint"});
        for (auto it = datasets.constBegin(); it != datasets.constEnd(); ++it)
            FUZZ_CHECK(!it.key().isEmpty() && it.value().toObject().value("name").toString() == it.key());
        ZfsOutput::poolMap(datasets, ZfsOutput::textListing(second, {"name", "size", "free"}));
        for (const QJsonValue &record : ZfsOutput::snapshotRecords(ZfsOutput::textListing(first, {"name", "used", "referenced"})))
            FUZZ_CHECK(record.isObject());
        break;
    }
    }
    return 0;
}
