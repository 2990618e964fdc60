#include "scan/utf8_text.hpp"

#include "util/file_name.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// How many bytes of a well-formed sequence start at `p` (1 to 4), or, for an
// ill-formed one, the length of its maximal subpart (at least 1) as a
// negative number. Second-byte ranges exclude overlong forms, surrogates and
// code points above U+10FFFF.
int sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (p + i >= end) return -i;
        const unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return -i;
    }
    return length;
}

}  // namespace

std::string utf8_text(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const int length = sequence_length(p, end);
        if (length > 0) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
            p += length;
        } else {
            out.append(REPLACEMENT);
            p += -length;
        }
    }
    return out;
}

}  // namespace tarnwick
