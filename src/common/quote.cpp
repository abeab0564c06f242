#include "common/quote.hpp"

#include <cstdint>
#include <cstdio>

namespace corvena {

namespace {

// Decodes one UTF-8 sequence at `i`. Returns its length, 0 when invalid.
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Control and format characters, separators and non-characters.
bool is_unprintable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
    if (cp == 0xAD || cp == 0x061C || cp == 0x180E || cp == 0xFEFF) return true;
    if (cp >= 0x0600 && cp <= 0x0605) return true;
    if (cp >= 0x200B && cp <= 0x200F) return true;
    if (cp >= 0x2028 && cp <= 0x202E) return true;
    if (cp >= 0x2060 && cp <= 0x206F) return true;
    if (cp >= 0xFFF9 && cp <= 0xFFFB) return true;
    if (cp >= 0xE000 && cp <= 0xF8FF) return true;
    if ((cp & 0xFFFE) == 0xFFFE) return true;
    if (cp >= 0xFDD0 && cp <= 0xFDEF) return true;
    if (cp >= 0xF0000) return true;
    return false;
}

void append_hex_escape(std::string& out, char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
    out += buf;
}

}  // namespace

std::string quote_text(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp;
        std::size_t len = decode_utf8(s, i, cp);
        if (len == 0) {
            // Not UTF-8: show the raw byte as its escape, never as garbage.
            append_hex_escape(out, 0xFFFD);
            ++i;
            continue;
        }
        switch (cp) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case 0: out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (is_unprintable(cp)) append_hex_escape(out, cp);
            else out.append(s.substr(i, len));
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string lossy_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp;
        std::size_t len = decode_utf8(s, i, cp);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::size_t valid_utf8_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp;
        std::size_t len = decode_utf8(s, i, cp);
        if (len == 0) return i;
        i += len;
    }
    return i;
}

}  // namespace corvena
