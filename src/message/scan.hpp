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

// One find of a resynchronising scan, in buffer order: a framed message
// (no error), or a place where a "BUFR" marker starts something that cannot
// be framed (error set; `length` is what section 0 claimed, clipped to the
// buffer).
struct ScanEntry {
    std::uint64_t start;
    std::uint64_t length;
    std::optional<BufrError> error;
};

// Every message of `buffer`, going on past damage. A message is framed when
// its section 0 length stays inside the buffer and the four octets at its
// end are "7777"; the scan then resumes after it, whatever its sections
// hold. Anything else that starts with "BUFR" (a truncated message, stray
// text, a length past the end) is reported once, and the scan resumes at
// the next marker after the start of the failed one, so the messages that
// follow damage are all found. Error texts give offsets counted from
// `base`: the offset of the buffer in the file it is part of.
std::vector<ScanEntry> scan_messages_resync(std::string_view buffer, std::uint64_t base = 0);

// The first message of `data`, framed, as the decoding functions take it:
// the whole buffer is scanned first (a scan error fails the call even after
// the first message), no message is MissingMarker. `bytes` receives the
// message's slice.
Result<BufrMessage> first_message(std::string_view data, std::string_view& bytes);

// Slices in buffer order; never overlapping. Fails on a marker too close to
// the end, on a total length past the end, and on a total length of 0.
Result<std::vector<MessageSlice>> scan_messages(std::string_view buffer);

}  // namespace corvena
