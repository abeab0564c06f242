#include "message/framing.hpp"

#include <cstring>

namespace corvena {

namespace {

std::uint64_t u24(const unsigned char* p) {
    return (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[1]} << 8) | p[2];
}

std::uint16_t u16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The fixed section 1 fields run up to byte 29.
constexpr std::size_t kSection1FieldsEnd = 30;

}  // namespace

Result<BufrMessage> parse_message(std::string_view bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::uint64_t len = bytes.size();

    if (len < 8) return BufrError::message_too_short();
    if (std::memcmp(b, "BUFR", 4) != 0) return BufrError::missing_marker();
    if (b[7] != 4) return BufrError::unsupported_edition(b[7]);
    const std::uint64_t total = u24(b + 4);
    if (total != len) return BufrError::length_mismatch(total, len);
    if (len < 11) return BufrError::truncated_section(8, 1);

    const std::uint64_t section1_length = u24(b + 8);
    const std::uint64_t s2 = 8 + section1_length;
    if (s2 > len) return BufrError::truncated_section(8, 1);
    // The section 2 flag is octet 10 of section 1: a buffer that ends
    // before it has a section 1 shorter than its fixed fields.
    if (len < 18) return BufrError::truncated_section(8, 1);
    const bool section2_present = b[17] != 0;
    if (len < 25) return BufrError::truncated_section(23, 1);

    std::uint64_t section2_length = 0;
    if (section2_present) {
        if (s2 + 3 > len) return BufrError::truncated_section(s2, 2);
        section2_length = u24(b + s2);
        if (s2 + section2_length > len) return BufrError::truncated_section(s2, 2);
    }

    const std::uint64_t s3 = s2 + section2_length;
    if (s3 + 3 > len) return BufrError::truncated_section(s3, 3);
    const std::uint64_t n3 = u24(b + s3);
    if (s3 + n3 > len || n3 < 7) return BufrError::truncated_section(s3, 3);
    const std::uint16_t subsets = u16(b + s3 + 4);
    // Encoders that keep the edition 3 habit of an even section length end
    // the descriptor words with one padding octet of 0; any other odd
    // octet is a broken descriptor area.
    if ((n3 - 7) % 2 != 0 && b[s3 + n3 - 1] != 0) return BufrError::odd_descriptor_area();
    const unsigned char flags = b[s3 + 6];

    const std::uint64_t s4 = s3 + n3;
    if (s4 + 3 > len) return BufrError::truncated_section(s4, 4);
    const std::uint64_t n4 = u24(b + s4);
    if (s4 + n4 > len) return BufrError::truncated_section(s4, 4);
    const std::uint64_t end = s4 + n4;
    if (end + 4 > len) return BufrError::truncated_section(end, 5);
    if (std::memcmp(b + end, "7777", 4) != 0) return BufrError::bad_end_marker();
    // Only a section 1 below its 22-octet minimum lets a message this short
    // through the checks above; its fixed fields are not all there.
    if (len < kSection1FieldsEnd) return BufrError::truncated_section(8, 1);

    BufrMessage m;
    m.edition = b[7];
    m.total_length = total;
    m.section1_length = section1_length;
    m.section2_length = section2_length;
    m.section3_length = n3;
    m.section4_length = n4;
    m.section4_data_offset = s4 + 4;
    m.section4_data_length = n4 >= 4 ? n4 - 4 : 0;
    m.master_table_number = b[11];
    m.originating_centre = u16(b + 12);
    m.originating_subcentre = u16(b + 14);
    m.update_sequence_number = b[16];
    m.local_section_present = section2_present;
    m.data_category = b[18];
    m.international_data_subcategory = b[19];
    m.local_data_subcategory = b[20];
    m.master_tables_version_number = b[21];
    m.local_tables_version_number = b[22];
    m.typical_year = u16(b + 23);
    m.typical_month = b[25];
    m.typical_day = b[26];
    m.typical_hour = b[27];
    m.typical_minute = b[28];
    m.typical_second = b[29];
    m.number_of_subsets = subsets;
    m.observed_data = (flags & 0x80) != 0;
    m.compressed_data = (flags & 0x40) != 0;
    m.unexpanded_descriptors.reserve((n3 - 7) / 2);
    for (std::uint64_t p = s3 + 7; p + 1 < s3 + n3; p += 2) {
        const unsigned h = u16(b + p);
        m.unexpanded_descriptors.push_back((h >> 14) * 100000 + ((h >> 8) & 0x3F) * 1000 + (h & 0xFF));
    }
    return m;
}

}  // namespace corvena
