// Fletcher-4 checksum (four 64-bit running sums over little-endian 32-bit
// words, as ZFS uses for send streams), fed in pieces of any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zsim {

class SimFletcher {
public:
    void reset();
    void update(const void *data, size_t length);
    // The four sums as 32 bytes (little endian); pads a partial last word
    // with zeros. Does not change the state.
    std::string digest() const;

private:
    uint64_t m_a = 0, m_b = 0, m_c = 0, m_d = 0;
    unsigned char m_pending[4] = {0, 0, 0, 0};
    size_t m_pendingLength = 0;
};

} // namespace zsim
