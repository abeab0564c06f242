#include "bitstream/bit_reader.hpp"

namespace corvena {

BufrError BitReader::not_enough(std::uint16_t width) const {
    return BufrError::table_parse("not enough bits while reading section 4 at bit " +
                                  std::to_string(position_) + " for width " + std::to_string(width) +
                                  " (" + std::to_string(bits_) + " bits available)");
}

BufrError BitReader::too_wide(std::uint16_t width) {
    return BufrError::table_parse("cannot read " + std::to_string(width) + " bits into u64");
}

Status BitReader::read_bytes(std::uint16_t bits, std::string& out) {
    out.clear();
    out.reserve((bits + 7u) / 8u);
    unsigned left = bits;
    if ((position_ & 7) == 0) {
        // Aligned: whole octets straight from the data.
        const std::uint64_t whole = left / 8;
        const std::uint64_t can = (bits_ - position_) / 8;
        const std::uint64_t take = whole < can ? whole : can;
        out.append(reinterpret_cast<const char*>(data_ + (position_ >> 3)), take);
        position_ += take * 8;
        left -= static_cast<unsigned>(take * 8);
    }
    while (left >= 8) {
        if (position_ + 8 > bits_) return not_enough(8);
        out.push_back(static_cast<char>(peek(8)));
        position_ += 8;
        left -= 8;
    }
    if (left > 0) {
        auto r = read_bits(static_cast<std::uint16_t>(left));
        if (!r) return std::move(r).error();
        out.push_back(static_cast<char>(*r << (8 - left)));
    }
    return success();
}

}  // namespace corvena
