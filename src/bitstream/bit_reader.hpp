// Reads unsigned fields of 0 to 64 bits, most significant bit first, and
// octet strings, from the borrowed data of section 4.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace corvena {

class BitReader {
public:
    explicit BitReader(std::string_view data)
        : data_(reinterpret_cast<const unsigned char*>(data.data())),
          size_(data.size()),
          bits_(std::uint64_t{data.size()} * 8) {}

    std::uint64_t position() const { return position_; }
    std::uint64_t bits_available() const { return bits_; }

    // A width of 0 yields 0 without moving. Fails above 64 bits or when the
    // data ends first (the position then does not move).
    Result<std::uint64_t> read_bits(std::uint16_t width) {
        if (width == 0) return std::uint64_t{0};
        if (width > 64) return too_wide(width);
        if (position_ + width > bits_) return not_enough(width);
        std::uint64_t v = peek(width);
        position_ += width;
        return v;
    }

    // Reads `count` fields of `width` bits (1 to 64) into `out`. When the
    // data ends first it reads what there is and fails exactly as the
    // read_bits call that meets the end would.
    Status read_many(std::uint16_t width, std::size_t count, std::uint64_t* out) {
        if (width > 64) return too_wide(width);
        if (width == 0) {
            for (std::size_t i = 0; i < count; ++i) out[i] = 0;
            return success();
        }
        if (position_ + std::uint64_t{width} * count <= bits_) {
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = peek(width);
                position_ += width;
            }
            return success();
        }
        for (std::size_t i = 0; i < count; ++i) {
            auto r = read_bits(width);
            if (!r) return std::move(r).error();
            out[i] = *r;
        }
        return success();
    }

    // Reads ceil(bits / 8) octets into `out` (replacing its content); a final
    // partial octet is left-aligned.
    Status read_bytes(std::uint16_t bits, std::string& out);

    BufrError not_enough(std::uint16_t width) const;
    static BufrError too_wide(std::uint16_t width);

private:
    // `width` bits (1 to 64) at the current position, known to be in range.
    std::uint64_t peek(unsigned width) const {
        const std::uint64_t byte = position_ >> 3;
        const unsigned offset = static_cast<unsigned>(position_ & 7);
        // Up to 9 octets cover the field; gather 8 of them, then the ninth.
        std::uint64_t word = 0;
        std::uint64_t avail = size_ - byte;
        if (avail >= 8) {
            for (int k = 0; k < 8; ++k) word = (word << 8) | data_[byte + k];
        } else {
            for (std::uint64_t k = 0; k < 8; ++k) word = (word << 8) | (k < avail ? data_[byte + k] : 0);
        }
        if (offset + width <= 64) {
            return (word << offset) >> (64 - width);
        }
        // The field spans a ninth octet.
        const unsigned extra = offset + width - 64;
        const std::uint64_t high = (word << offset) >> offset;  // the low 64-offset bits
        const std::uint64_t ninth = data_[byte + 8];
        return (high << extra) | (ninth >> (8 - extra));
    }

    const unsigned char* data_;
    std::uint64_t size_;
    std::uint64_t bits_;
    std::uint64_t position_ = 0;
};

}  // namespace corvena
