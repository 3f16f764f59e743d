// The statement catalogue's text format, read from arbitrary text. Every
// entry must keep the shape TQ2DBSqlite relies on.
#include "fuzzcheck.h"
#include "tq2sqlcatalogue.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    for (const QString &line : TQ2SqlCatalogue::delSqlComments(text))
        FUZZ_CHECK(!line.contains(QLatin1String("--")) && line == line.trimmed());
    const QJsonObject catalogue = TQ2SqlCatalogue::parse(text);
    for (auto it = catalogue.begin(); it != catalogue.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        FUZZ_CHECK(!it.key().isEmpty() && it.key() == it.key().toLower());
        const QString statement = entry.value(QLatin1String("text")).toString();
        FUZZ_CHECK(!statement.isEmpty() && !statement.contains(QLatin1Char('@')));
        FUZZ_CHECK(entry.value(QLatin1String("params")).isObject());
    }
    return 0;
}
