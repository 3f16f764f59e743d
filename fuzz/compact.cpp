// Reads arbitrary bytes as one compact-encoded value. The object reader must
// agree with the value reader, and a value that was read must encode into
// bytes that read back.
#include "fuzzcheck.h"
#include "tq2rpcpacket.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    bool ok = false;
    const QJsonValue value = TQ2RpcPacket::fromCompactValue(bytes, &ok);
    bool objectOk = false;
    const QJsonObject object = TQ2RpcPacket::fromCompactObject(bytes, &objectOk);
    FUZZ_CHECK(objectOk == (ok && value.isObject()));
    if (!ok) {
        FUZZ_CHECK(value.isUndefined());
        return 0;
    }
    if (objectOk)
        FUZZ_CHECK(object == value.toObject());
    bool againOk = false;
    TQ2RpcPacket::fromCompactValue(TQ2RpcPacket::toCompactValue(value), &againOk);
    FUZZ_CHECK(againOk);
    return 0;
}
