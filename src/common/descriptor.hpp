// Descriptor codes: F-X-Y carried as the integer F*100000 + X*1000 + Y.
#pragma once

#include <cstdint>

namespace corvena {

struct DescriptorParts {
    std::uint8_t f;
    std::uint8_t x;
    std::uint8_t y;
};

// Splits a code by decimal digits, each part kept as its low 8 bits.
inline DescriptorParts split_code(std::uint32_t code) {
    return DescriptorParts{static_cast<std::uint8_t>(code / 100000),
                           static_cast<std::uint8_t>((code % 100000) / 1000),
                           static_cast<std::uint8_t>(code % 1000)};
}

// X as its decimal value 0 to 99 (the walks branch on it without wrapping).
inline unsigned code_x(std::uint32_t code) { return (code % 100000) / 1000; }

inline std::uint32_t make_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
    return f * 100000 + x * 1000 + y;
}

// Class 31 elements (replication factors, data present indicators) are
// never missing and carry no associated field in compressed data.
inline bool is_class31(std::uint32_t code) {
    std::uint32_t rest = code % 100000;
    return rest >= 31000 && rest <= 31999;
}

constexpr std::uint32_t kAssociatedFieldCode = 999999;

}  // namespace corvena
