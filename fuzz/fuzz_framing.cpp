// Framing and scanning of arbitrary bytes: the strict scan, and the scan
// that goes on past damage, which must agree wherever the strict one
// succeeds with slices that end in "7777" (the strict scan takes a slice by
// its section 0 length alone; the resync scan calls one without the end
// marker damage and looks for the next marker inside it).
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

    const auto entries = corvena::scan_messages_resync(bytes);
    std::uint64_t framed_end = 0;
    bool first = true;
    std::uint64_t last_start = 0;
    std::size_t framed = 0;
    for (const auto& e : entries) {
        if (!first && e.start <= last_start) __builtin_trap();
        first = false;
        last_start = e.start;
        if (e.start + 4 > size || bytes.substr(e.start, 4) != "BUFR") __builtin_trap();
        if (e.length > size - e.start) __builtin_trap();
        if (e.error) continue;
        // A framed message: inside the buffer, after the one before, ending
        // in "7777".
        if (e.start < framed_end || e.length < 8 || bytes.substr(e.start + e.length - 4, 4) != "7777") {
            __builtin_trap();
        }
        framed_end = e.start + e.length;
        ++framed;
    }
    bool ends_marked = slices.ok();
    if (slices) {
        for (const auto& s : *slices) {
            ends_marked = ends_marked && s.length >= 8 && bytes.substr(s.start + s.length - 4, 4) == "7777";
        }
    }
    if (ends_marked) {
        if (framed != entries.size() || entries.size() != slices->size()) __builtin_trap();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].start != (*slices)[i].start || entries[i].length != (*slices)[i].length) __builtin_trap();
        }
    }
    return 0;
}
