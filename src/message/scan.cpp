#include "message/scan.hpp"

#include <algorithm>
#include <cstring>

namespace corvena {

namespace {

// The offset of the first "BUFR" at or after `pos`, or the buffer's size.
std::uint64_t find_marker(const unsigned char* b, std::uint64_t len, std::uint64_t pos) {
    for (std::uint64_t p = pos; p + 4 <= len;) {
        const void* r = std::memchr(b + p, 'B', len - 3 - p);
        if (r == nullptr) break;
        const std::uint64_t at = static_cast<const unsigned char*>(r) - b;
        if (std::memcmp(b + at, "BUFR", 4) == 0) return at;
        p = at + 1;
    }
    return len;
}

std::uint64_t total_length_at(const unsigned char* b, std::uint64_t m) {
    return (std::uint64_t{b[m + 4]} << 16) | (std::uint64_t{b[m + 5]} << 8) | b[m + 6];
}

}  // namespace

ScanOutcome scan_messages_until_error(std::string_view buffer) {
    ScanOutcome out;
    std::vector<MessageSlice>& slices = out.slices;
    const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
    const std::uint64_t len = buffer.size();
    std::uint64_t pos = 0;
    while (len - pos >= 4) {
        const std::uint64_t m = find_marker(b, len, pos);
        if (m == len) break;
        if (m + 8 > len) {
            out.error = BufrError::message_too_short();
            break;
        }
        const std::uint64_t total = total_length_at(b, m);
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

std::vector<ScanEntry> scan_messages_resync(std::string_view buffer, std::uint64_t base) {
    std::vector<ScanEntry> out;
    const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
    const std::uint64_t len = buffer.size();
    for (std::uint64_t m = find_marker(b, len, 0); m < len;) {
        std::optional<BufrError> error;
        std::uint64_t total = 0;
        if (m + 8 > len) {
            error = BufrError::message_too_short();
            total = len - m;
        } else {
            total = total_length_at(b, m);
            if (total == 0 || m + total > len) {
                error = total == 0 ? BufrError::message_too_short() : BufrError::truncated_section(base + m, 0);
                total = std::min(total, len - m);
            } else if (total < 8 || std::memcmp(b + m + total - 4, "7777", 4) != 0) {
                // Framing says why: too short, a section running past the
                // end, or the end marker missing.
                auto framed = parse_message(buffer.substr(m, total));
                error = framed ? BufrError::bad_end_marker() : std::move(framed).error();
            }
        }
        const bool framed = !error;
        out.push_back(ScanEntry{m, total, std::move(error)});
        m = find_marker(b, len, framed ? m + total : m + 1);
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
