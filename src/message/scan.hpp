// Finding the messages of a buffer by their "BUFR" marker and section 0
// total length.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "message/error.hpp"

namespace corvena {

struct MessageSlice {
    std::uint64_t start;
    std::uint64_t length;
};

// Slices in buffer order; never overlapping. Fails on a marker too close to
// the end, on a total length past the end, and on a total length of 0.
Result<std::vector<MessageSlice>> scan_messages(std::string_view buffer);

}  // namespace corvena
