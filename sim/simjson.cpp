#include "simjson.h"

#include "simtext.h"

#include <cstdio>

namespace zsim {

namespace {

// Decodes one UTF-8 sequence at text[i]; returns the code point and advances
// i, or returns the byte itself for malformed input.
unsigned decodeUtf8(const std::string &text, size_t &i)
{
    unsigned char c = (unsigned char)text[i];
    int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (extra == 0 || i + (size_t)extra >= text.size()) {
        i++;
        return c;
    }
    unsigned cp = c & (0x3fu >> extra);
    for (int k = 1; k <= extra; k++) {
        unsigned char n = (unsigned char)text[i + (size_t)k];
        if ((n & 0xc0) != 0x80) {
            i++;
            return c;
        }
        cp = (cp << 6) | (n & 0x3fu);
    }
    i += (size_t)extra + 1;
    return cp;
}

void appendUnicode(std::string &out, unsigned cp)
{
    char buf[16];
    if (cp > 0xffff) {
        cp -= 0x10000;
        snprintf(buf, sizeof buf, "\\u%04x\\u%04x", 0xd800 + (cp >> 10), 0xdc00 + (cp & 0x3ff));
    } else {
        snprintf(buf, sizeof buf, "\\u%04x", cp);
    }
    out += buf;
}

} // namespace

std::string SimJson::quote(const std::string &text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x80) {
            appendUnicode(out, decodeUtf8(text, i));
            continue;
        }
        i++;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\f': out += "\\f"; break;
        case '\b': out += "\\b"; break;
        default:
            if (c < 0x20 || c == 0x7f)
                appendUnicode(out, c);
            else
                out += (char)c;
        }
    }
    out += '"';
    return out;
}

void SimJson::separate()
{
    if (m_needComma)
        m_text += ',';
}

void SimJson::beginObject()
{
    separate();
    m_text += '{';
    m_needComma = false;
}

void SimJson::endObject()
{
    m_text += '}';
    m_needComma = true;
}

void SimJson::key(const std::string &name)
{
    separate();
    m_text += quote(name);
    m_text += ':';
    m_needComma = false;
}

void SimJson::string(const std::string &value)
{
    separate();
    m_text += quote(value);
    m_needComma = true;
}

void SimJson::number(const std::string &digits)
{
    separate();
    m_text += digits;
    m_needComma = true;
}

void SimJson::maybeNumber(const std::string &value, bool asInteger)
{
    if (asInteger && SimText::isDigits(value))
        number(value);
    else
        string(value);
}

void SimJson::outputVersion(const std::string &command)
{
    key("output_version");
    beginObject();
    key("command");
    string(command);
    key("vers_major");
    number("0");
    key("vers_minor");
    number("1");
    endObject();
}

} // namespace zsim
