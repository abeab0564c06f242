// Writes unsigned fields of 0 to 64 bits, most significant bit first, and
// octet strings: the inverse of BitReader, for section 4 data.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvena {

class BitWriter {
public:
    std::uint64_t position() const { return position_; }

    // The low `width` bits of `value` (0 to 64; the caller keeps `value`
    // below 2^width).
    void write_bits(std::uint64_t value, unsigned width) {
        if (width == 0) return;
        position_ += width;
        if (width < 64) value &= (std::uint64_t{1} << width) - 1;
        const unsigned room = 64 - fill_;
        if (width < room) {
            acc_ |= value << (room - width);
            fill_ += width;
            return;
        }
        // The field fills the word: its high part completes it.
        const unsigned rest = width - room;
        acc_ |= rest == 64 ? 0 : value >> rest;
        flush_word();
        if (rest != 0) {
            acc_ = value << (64 - rest);
            fill_ = rest;
        }
    }

    // The compressed increments of one column: values[s] - base in `width`
    // bits (1 to 63), or `missing_increment` where missing[s] is set (no
    // cell is missing when `missing` is null).
    void write_increments(const std::uint64_t* values, const std::uint8_t* missing, std::size_t count,
                          std::uint64_t base, std::uint64_t missing_increment, unsigned width) {
        if (missing == nullptr) {
            pack(count, width, [&](std::size_t s) { return values[s] - base; });
        } else {
            pack(count, width, [&](std::size_t s) { return missing[s] ? missing_increment : values[s] - base; });
        }
    }

    // A field of `width` bits, all ones (any width).
    void write_ones(unsigned width) {
        while (width > 64) {
            write_bits(~std::uint64_t{0}, 64);
            width -= 64;
        }
        write_bits(width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1, width);
    }

    // `octets` then, up to `bits` (a multiple of 8), octets of `pad`.
    void write_octets(std::string_view octets, unsigned bits, unsigned char pad) {
        const std::size_t n = bits / 8;
        for (std::size_t i = 0; i < n; ++i) {
            write_bits(i < octets.size() ? static_cast<unsigned char>(octets[i]) : pad, 8);
        }
        if (bits % 8 != 0) write_bits(0, bits % 8);
    }

    // The octets written, the last one filled up with zero bits.
    std::string finish() {
        std::string out = std::move(bytes_);
        for (unsigned k = 0; k < fill_; k += 8) out.push_back(static_cast<char>(acc_ >> (56 - k)));
        bytes_.clear();
        acc_ = 0;
        fill_ = 0;
        position_ = 0;
        return out;
    }

private:
    // `count` fields of `width` bits (1 to 63), field s being value(s).
    template <class Value>
    void pack(std::size_t count, unsigned width, Value&& value) {
        std::uint64_t acc = acc_;
        unsigned fill = fill_;
        // Room for every whole word the fields fill, written in place.
        const std::size_t at = bytes_.size();
        bytes_.resize(at + (std::uint64_t{width} * count + fill) / 64 * 8);
        char* out = bytes_.data() + at;
        for (std::size_t s = 0; s < count; ++s) {
            const std::uint64_t v = value(s);
            const unsigned room = 64 - fill;
            if (width < room) {
                acc |= v << (room - width);
                fill += width;
                continue;
            }
            const unsigned rest = width - room;
            const std::uint64_t word = big_endian(acc | v >> rest);
            std::memcpy(out, &word, 8);
            out += 8;
            acc = rest == 0 ? 0 : v << (64 - rest);
            fill = rest;
        }
        acc_ = acc;
        fill_ = fill;
        position_ += std::uint64_t{width} * count;
    }

    // The octets of `v` in memory most significant first, as one number.
    static std::uint64_t big_endian(std::uint64_t v) {
        if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(v);
        return v;
    }

    void flush_word() {
        char word[8];
        for (int k = 0; k < 8; ++k) word[k] = static_cast<char>(acc_ >> (56 - 8 * k));
        bytes_.append(word, 8);
        acc_ = 0;
        fill_ = 0;
    }

    std::string bytes_;
    std::uint64_t acc_ = 0;  // bits not yet in bytes_, from the top
    unsigned fill_ = 0;      // how many
    std::uint64_t position_ = 0;
};

}  // namespace corvena
