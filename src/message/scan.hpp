// Finding the messages of a buffer by their "BUFR" marker and section 0
// total length.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "message/framing.hpp"

namespace corvena {

struct MessageSlice {
    std::uint64_t start;
    std::uint64_t length;
};

// What a scan found before it stopped: the slices of the messages before
// the first error, and that error, if any. A reader that goes on past bad
// messages delivers these slices and reports the error; nothing valid
// before it is lost.
struct ScanOutcome {
    std::vector<MessageSlice> slices;
    std::optional<BufrError> error;
};
ScanOutcome scan_messages_until_error(std::string_view buffer);

// The first message of `data`, framed, as the decoding functions take it:
// the whole buffer is scanned first (a scan error fails the call even after
// the first message), no message is MissingMarker. `bytes` receives the
// message's slice.
Result<BufrMessage> first_message(std::string_view data, std::string_view& bytes);

// Slices in buffer order; never overlapping. Fails on a marker too close to
// the end, on a total length past the end, and on a total length of 0.
Result<std::vector<MessageSlice>> scan_messages(std::string_view buffer);

}  // namespace corvena
