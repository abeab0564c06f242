// Framing and scanning of arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "message/framing.hpp"
#include "message/scan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto one = corvena::parse_message(bytes);
    if (one) {
        // A framed message's data window lies inside the buffer.
        if (one->section4_data_length > 0 &&
            one->section4_data_offset + one->section4_data_length > size) {
            __builtin_trap();
        }
    }
    auto slices = corvena::scan_messages(bytes);
    if (slices) {
        std::uint64_t end = 0;
        for (const auto& s : *slices) {
            if (s.start < end || s.start + s.length > size || s.length == 0) __builtin_trap();
            end = s.start + s.length;
            (void)corvena::parse_message(bytes.substr(s.start, s.length));
        }
    }
    return 0;
}
