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

// Elements whose all-ones value is a value, not a missing one: the
// delayed replication and repetition factors (031000, 031001, 031002,
// 031011, 031012), whose value says how much data follows, and the data
// present indicator 031031, where 1 means "not present". Other class 31
// elements (031021, the associated field significance, whose 63 is
// "missing value") follow the missing-value rule like any element.
inline bool never_missing(std::uint32_t code) {
    switch (code % 100000) {
    case 31000: case 31001: case 31002: case 31011: case 31012: case 31031:
        return true;
    default:
        return false;
    }
}

constexpr std::uint32_t kAssociatedFieldCode = 999999;

// What an operator 2-X-Y does, for descriptor expansion and for the
// decoding walk alike.
enum class OperatorClass : std::uint8_t {
    Setting,        // 2-01, 2-02, 2-04, 2-06, 2-07, 2-08: changes how later elements are read
    NewReference,   // 2-03: new reference values (Y 1-254), their end (255) or cancel (0)
    Characters,     // 2-05: Y characters inserted in the data
    Item,           // 2-22 to 2-42 and 2-62 operators that stand in the data as an operator item
    BitmapValue,    // 2-23, 2-24, 2-25, 2-32 with Y 255: one value read through the bitmap
    None,           // everything else: no item, no state change, no bits
};

inline OperatorClass operator_class(unsigned x, std::uint8_t y) {
    switch (x) {
    case 1: case 2: case 4: case 6: case 7: case 8:
        return OperatorClass::Setting;
    case 3:
        return OperatorClass::NewReference;
    case 5:
        return OperatorClass::Characters;
    case 22: case 36: case 62:
        return y == 0 ? OperatorClass::Item : OperatorClass::None;
    case 23: case 24: case 25: case 32:
        return y == 255 ? OperatorClass::BitmapValue : OperatorClass::Item;
    case 26: case 27: case 29: case 30: case 31: case 33: case 34: case 35:
    case 37: case 38: case 39: case 40: case 41: case 42:
        return OperatorClass::Item;
    default:
        return OperatorClass::None;
    }
}

}  // namespace corvena
