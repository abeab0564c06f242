// The quoted form used by reprs and error texts: double quotes around the
// text, backslash escapes for \\ and \", \0 \t \r \n for those controls, and
// \u{h} for any other character that does not print.
#pragma once

#include <string>
#include <string_view>

namespace corvena {

std::string quote_text(std::string_view utf8);

// Replaces invalid UTF-8 sequences with U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Length of the valid UTF-8 prefix of `bytes`.
std::size_t valid_utf8_prefix(std::string_view bytes);

}  // namespace corvena
