// Framing of one BUFR edition 4 message: checks sections 0 to 5 and reads the
// identification data of section 1 and the header of section 3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "tables/definitions.hpp"

namespace corvena {

struct BufrMessage {
    std::uint8_t edition = 0;
    std::uint64_t total_length = 0;
    std::uint64_t section1_length = 0;
    std::uint64_t section2_length = 0;
    std::uint64_t section3_length = 0;
    std::uint64_t section4_length = 0;
    std::uint64_t section4_data_offset = 0;
    std::uint64_t section4_data_length = 0;
    std::uint8_t master_table_number = 0;
    std::uint16_t originating_centre = 0;
    std::uint16_t originating_subcentre = 0;
    std::uint8_t update_sequence_number = 0;
    bool local_section_present = false;
    std::uint8_t data_category = 0;
    std::uint8_t international_data_subcategory = 0;
    std::uint8_t local_data_subcategory = 0;
    std::uint8_t master_tables_version_number = 0;
    std::uint8_t local_tables_version_number = 0;
    std::uint16_t typical_year = 0;
    std::uint8_t typical_month = 0;
    std::uint8_t typical_day = 0;
    std::uint8_t typical_hour = 0;
    std::uint8_t typical_minute = 0;
    std::uint8_t typical_second = 0;
    std::uint16_t number_of_subsets = 0;
    bool observed_data = false;
    bool compressed_data = false;
    std::vector<std::uint32_t> unexpanded_descriptors;
};

// The section 1 fields that choose the tables of a message.
inline TableRequest table_request(const BufrMessage& m) {
    return TableRequest{m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
                        m.originating_centre, m.originating_subcentre};
}

// `bytes` must hold exactly one message. Keeps no reference to the buffer.
Result<BufrMessage> parse_message(std::string_view bytes);

}  // namespace corvena
