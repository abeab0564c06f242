#include "message/scan.hpp"

#include <cstring>

namespace corvena {

ScanOutcome scan_messages_until_error(std::string_view buffer) {
    ScanOutcome out;
    std::vector<MessageSlice>& slices = out.slices;
    const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
    const std::uint64_t len = buffer.size();
    std::uint64_t pos = 0;
    while (len - pos >= 4) {
        const void* hit = nullptr;
        for (std::uint64_t p = pos; p + 4 <= len;) {
            const void* r = std::memchr(b + p, 'B', len - 3 - p);
            if (r == nullptr) break;
            std::uint64_t at = static_cast<const unsigned char*>(r) - b;
            if (std::memcmp(b + at, "BUFR", 4) == 0) {
                hit = r;
                break;
            }
            p = at + 1;
        }
        if (hit == nullptr) break;
        const std::uint64_t m = static_cast<const unsigned char*>(hit) - b;
        if (m + 8 > len) {
            out.error = BufrError::message_too_short();
            break;
        }
        const std::uint64_t total =
            (std::uint64_t{b[m + 4]} << 16) | (std::uint64_t{b[m + 5]} << 8) | b[m + 6];
        if (m + total > len) {
            out.error = BufrError::truncated_section(m, 0);
            break;
        }
        // A zero total would find the same marker again forever; such a
        // slice could never frame anyway.
        if (total == 0) {
            out.error = BufrError::message_too_short();
            break;
        }
        slices.push_back(MessageSlice{m, total});
        pos = m + total;
    }
    return out;
}

Result<std::vector<MessageSlice>> scan_messages(std::string_view buffer) {
    ScanOutcome outcome = scan_messages_until_error(buffer);
    if (outcome.error) return std::move(*outcome.error);
    return std::move(outcome.slices);
}

Result<BufrMessage> first_message(std::string_view data, std::string_view& bytes) {
    auto slices = scan_messages(data);
    if (!slices) return std::move(slices).error();
    if (slices->empty()) return BufrError::missing_marker();
    bytes = data.substr((*slices)[0].start, (*slices)[0].length);
    return parse_message(bytes);
}

}  // namespace corvena
