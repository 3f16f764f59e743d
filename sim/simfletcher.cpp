#include "simfletcher.h"

#include <cstring>

namespace zsim {

void SimFletcher::reset()
{
    m_a = m_b = m_c = m_d = 0;
    m_pendingLength = 0;
}

void SimFletcher::update(const void *data, size_t length)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (m_pendingLength > 0 && length > 0) {
        m_pending[m_pendingLength++] = *p++;
        length--;
        if (m_pendingLength == 4) {
            uint32_t w;
            memcpy(&w, m_pending, 4);
            m_a += w;
            m_b += m_a;
            m_c += m_b;
            m_d += m_c;
            m_pendingLength = 0;
        }
    }
    uint64_t a = m_a, b = m_b, c = m_c, d = m_d;
    const size_t words = length / 4;
    for (size_t i = 0; i < words; i++) {
        uint32_t w;
        memcpy(&w, p + i * 4, 4);
        a += w;
        b += a;
        c += b;
        d += c;
    }
    m_a = a;
    m_b = b;
    m_c = c;
    m_d = d;
    p += words * 4;
    length -= words * 4;
    while (length-- > 0)
        m_pending[m_pendingLength++] = *p++;
}

std::string SimFletcher::digest() const
{
    uint64_t a = m_a, b = m_b, c = m_c, d = m_d;
    if (m_pendingLength > 0) {
        unsigned char word[4] = {0, 0, 0, 0};
        memcpy(word, m_pending, m_pendingLength);
        uint32_t w;
        memcpy(&w, word, 4);
        a += w;
        b += a;
        c += b;
        d += c;
    }
    std::string out(32, '\0');
    memcpy(&out[0], &a, 8);
    memcpy(&out[8], &b, 8);
    memcpy(&out[16], &c, 8);
    memcpy(&out[24], &d, 8);
    return out;
}

} // namespace zsim
