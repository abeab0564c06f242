// Decimal integer fields of table files, with the reasons the loaders put
// into their error texts.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.hpp"

namespace corvena {

enum class IntFailure : std::uint8_t { None, Empty, InvalidDigit, PosOverflow, NegOverflow };

const char* int_failure_text(IntFailure failure);

// No trimming: the text must be an optional sign and decimal digits only.
IntFailure parse_u64(std::string_view text, std::uint64_t max, std::uint64_t& out);
IntFailure parse_i64(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out);

// Trims white space and surrounding double quotes, then parses a u32 code.
Result<std::uint32_t> parse_descriptor_code(std::string_view text);

Result<std::int32_t> parse_i32_field(std::string_view text);
Result<std::int64_t> parse_i64_field(std::string_view text);
Result<std::uint16_t> parse_u16_field(std::string_view text);

// Unicode White_Space trimming on UTF-8 text.
std::string_view trim_ws(std::string_view text);
// Splits on runs of Unicode white space.
template <class F>
void for_each_token(std::string_view text, F&& f);
bool is_ws_at(std::string_view text, std::size_t i, std::size_t& len);

template <class F>
void for_each_token(std::string_view text, F&& f) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t len;
        while (i < text.size() && is_ws_at(text, i, len)) i += len;
        if (i >= text.size()) break;
        std::size_t start = i;
        while (i < text.size() && !is_ws_at(text, i, len)) ++i;
        f(text.substr(start, i - start));
    }
}

}  // namespace corvena
