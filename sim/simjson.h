// Compact JSON text in the byte layout of OpenZFS' nvlist_print_json(): one
// line, no spaces, keys in the order they are added, strings escaped as RFC
// 4627 asks with every non-ASCII character as a lower-case \uXXXX escape.
#pragma once

#include <string>

namespace zsim {

class SimJson {
public:
    // A JSON string literal, quotes included.
    static std::string quote(const std::string &text);

    void beginObject();
    void endObject();
    // Starts a member; the next call (a value or beginObject) gives its value.
    void key(const std::string &name);
    void string(const std::string &value);
    // An unquoted integer.
    void number(const std::string &digits);
    // A value that --json-int turns into a number when it is all digits.
    void maybeNumber(const std::string &value, bool asInteger);
    // The member every -j document starts with:
    // "output_version":{"command":"zfs list","vers_major":0,"vers_minor":1}
    void outputVersion(const std::string &command);

    const std::string &text() const { return m_text; }

private:
    void separate();

    std::string m_text;
    bool m_needComma = false;
};

} // namespace zsim
