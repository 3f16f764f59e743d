// Feeds arbitrary bytes to the datagram reader as a connection's receive
// buffer and cuts datagrams off its front until it waits or refuses. Every
// parsed packet must travel again: its datagram is read back to the same
// object and attachment.
#include "fuzzcheck.h"
#include "tq2rpcpacket.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray buffer(reinterpret_cast<const char *>(data), int(size));
    for (int i = 0; i < 64; ++i) {
        const int before = buffer.size();
        const qint64 announced = TQ2RpcPacket::announcedLength(buffer);
        TQ2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == TQ2RpcPacket::Incomplete || result == TQ2RpcPacket::Invalid) {
            FUZZ_CHECK(buffer.size() == before);
            if (result == TQ2RpcPacket::Incomplete && announced >= 0)
                FUZZ_CHECK(packet.expected == announced && announced > before);
            break;
        }
        FUZZ_CHECK(result == TQ2RpcPacket::Complete || result == TQ2RpcPacket::KeepAlive);
        FUZZ_CHECK(buffer.size() < before);
        if (result == TQ2RpcPacket::Complete) {
            FUZZ_CHECK(announced == qint64(before - buffer.size()));
            if (!packet.isKeepAlive()) {
                QByteArray again = packet.toDatagram();
                TQ2RpcPacket copy;
                FUZZ_CHECK(copy.fromDatagram(again) == TQ2RpcPacket::Complete);
                FUZZ_CHECK(again.isEmpty());
                FUZZ_CHECK(copy.object == packet.object);
                FUZZ_CHECK(copy.attachment == packet.attachment);
            }
        }
    }
    return 0;
}
