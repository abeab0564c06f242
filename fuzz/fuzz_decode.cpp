// Decoding of arbitrary section 3 descriptors and section 4 data against
// the real Debian ecCodes tables (wmo/38), compressed and uncompressed.
//
// Input layout: octet 0 flags (bit 0 compressed), octets 1-2 the number of
// subsets (taken modulo 64 to keep runs short), octet 3 the descriptor
// count, then two octets per descriptor, then the data of section 4.
// A whole input that frames as a message is decoded as it is, too. Each
// decoding runs on both sinks, which must agree: the same error, or the
// same number of items.
//
// Damage between messages: the input, then its first half (a message cut
// short, when the input is one), then a fixed good message. The scan that
// goes on past damage must frame the input when it frames alone, and must
// find the good message intact at the end, unless a message framed from
// the damage ends where it ends and so holds it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "message/decode.hpp"
#include "message/framing.hpp"
#include "message/scan.hpp"
#include "message/decoded_arrays.hpp"
#include "message/encode.hpp"
#include "tables/eccodes_loader.hpp"

namespace {

const corvena::TableSet& tables() {
    static const corvena::TableSet* set = [] {
        const char* dir = std::getenv("CORVENA_FUZZ_TABLES");
        auto loaded = corvena::load_eccodes_dir(dir ? dir : "/usr/share/eccodes/definitions/bufr/tables/0/wmo/38");
        if (!loaded) std::abort();
        return new corvena::TableSet(std::move(loaded).value());
    }();
    return *set;
}

bool same_item(const corvena::DecodedValues& a_all, const corvena::DecodedValue& a, const corvena::DecodedValues& b_all,
               const corvena::DecodedValue& b) {
    const bool same_value = std::memcmp(&a.raw_value, &b.raw_value, sizeof a.raw_value) == 0;
    return a.descriptor == b.descriptor && a.flags == b.flags && a.name == b.name && a.meaning == b.meaning &&
           a.raw == b.raw && same_value && a_all.text_of(a) == b_all.text_of(b);
}

// The message encoded again from its columns decodes to the same items
// (a missing compressed cell's raw value too: the encoder keeps R0).
void encode_again(const corvena::BufrMessage& m, const corvena::DecodedArrays& arrays,
                  const corvena::DecodedValues& items) {
    std::vector<std::uint32_t> all(arrays.compressed ? arrays.subsets : arrays.subset_starts.size());
    for (std::size_t s = 0; s < all.size(); ++s) all[s] = static_cast<std::uint32_t>(s);
    corvena::EncodeFault fault;
    auto data = corvena::encode_section4(arrays, all, tables(), m.unexpanded_descriptors, m.compressed_data, true, fault);
    if (!data) {
        if (!fault.set) std::abort();  // the walk went another way than decoding's
        return;
    }
    auto again = corvena::decode_section4(m, tables(), *data);
    if (!again || again->size() != items.size()) std::abort();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!same_item(*again, again->items[i], items, items.items[i])) std::abort();
    }
}

void decode_both(const corvena::BufrMessage& m, std::string_view data) {
    auto items = corvena::decode_section4(m, tables(), data);
    auto arrays = corvena::decode_section4_arrays(m, tables(), data);
    if (items.ok() != arrays.ok()) std::abort();
    if (!items.ok()) {
        if (items.error().text() != arrays.error().text()) std::abort();
        return;
    }
    const std::size_t n = arrays->compressed ? arrays->cells.size() : arrays->codes.size();
    if (n != items->size()) std::abort();
    // The records made again from the columns are those of the item path.
    const corvena::DecodedValues again = corvena::as_decoded_values(*arrays, tables());
    if (again.size() != n || again.by_column != items->by_column || again.subset_starts != items->subset_starts) {
        std::abort();
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_item(again, again.items[i], *items, items->items[i])) std::abort();
    }
    encode_again(m, *arrays, *items);
}

// Edition 4, one uncompressed subset of 001001 (7 bits) = 6 and 001002
// (10 bits) = 123; no "BUFR" or "7777" inside it but at its ends.
constexpr unsigned char kTrailer[] = {
    'B', 'U', 'F', 'R', 0, 0, 52, 4,                                         // section 0
    0, 0, 22, 0, 0, 98, 0, 0, 0, 0, 0, 0, 0, 38, 0, 0x07, 0xEA, 12, 8, 12, 0, 0,  // section 1
    0, 0, 11, 0, 0, 1, 0x80, 0x01, 0x01, 0x01, 0x02,                         // section 3
    0, 0, 7, 0, 0x0C, 0x3D, 0x80,                                            // section 4
    '7', '7', '7', '7'};
const std::string_view kTrailerBytes(reinterpret_cast<const char*>(kTrailer), sizeof kTrailer);

void check_trailer(std::string_view bytes) {
    auto m = corvena::parse_message(bytes);
    if (!m) std::abort();
    auto items = corvena::decode_section4(*m, tables(), bytes.substr(m->section4_data_offset, m->section4_data_length));
    if (!items || items->size() != 2 || items->items[0].raw != 6 || items->items[1].raw != 123) std::abort();
}

void check_resync(std::string_view input, bool input_frames) {
    std::string buffer(input);
    buffer.append(input.substr(0, input.size() / 2));
    const std::size_t tail = buffer.size();
    buffer.append(kTrailerBytes);
    const auto entries = corvena::scan_messages_resync(buffer);
    if (entries.empty()) std::abort();
    if (input_frames && (entries[0].error || entries[0].start != 0 || entries[0].length != input.size())) {
        std::abort();
    }
    const auto& last = entries.back();
    if (last.error || last.start > tail || last.start + last.length != buffer.size()) std::abort();
    if (last.start == tail) check_trailer(std::string_view(buffer).substr(tail));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto framed = corvena::parse_message(bytes);
    if (framed) {
        decode_both(*framed, bytes.substr(framed->section4_data_offset, framed->section4_data_length));
    }
    check_resync(bytes, framed.ok());
    if (size < 4) return 0;
    corvena::BufrMessage m;
    m.compressed_data = (data[0] & 1) != 0;
    m.number_of_subsets = static_cast<std::uint16_t>(((data[1] << 8) | data[2]) % 64);
    const std::size_t count = data[3];
    std::size_t pos = 4;
    for (std::size_t i = 0; i < count && pos + 1 < size; ++i, pos += 2) {
        const unsigned h = (data[pos] << 8) | data[pos + 1];
        m.unexpanded_descriptors.push_back((h >> 14) * 100000 + ((h >> 8) & 0x3F) * 1000 + (h & 0xFF));
    }
    decode_both(m, bytes.substr(pos < size ? pos : size));
    return 0;
}
