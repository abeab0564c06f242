// Decoding section 4 of one message into a flat list of items: all items of
// subset 1, then of subset 2, and so on, for compressed and uncompressed
// data alike.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bitstream/bit_reader.hpp"
#include "common/error.hpp"
#include "message/framing.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena {

constexpr unsigned kMaxDecodeDepth = 64;

// Bounds on the work of one decoding call. A delayed replication may not
// repeat its group more often than there are bits left in section 4; a call
// may not produce more than kMaxDecodeSteps items and group repetitions
// together; and of those, the ones that read no data at all (operator items,
// repetitions, zero-width elements) may not pass kMaxFreeSteps. Without them
// a small message could make the decoder repeat without end or fill memory.
constexpr std::uint64_t kMaxDecodeSteps = std::uint64_t{1} << 24;
constexpr std::uint64_t kMaxFreeSteps = std::uint64_t{1} << 20;

class DecodeBudget {
public:
    // Spends `steps` items or repetitions; fails once the bound is passed.
    Status spend(std::uint64_t steps) {
        if (steps > left_) return exceeded();
        left_ -= steps;
        return success();
    }
    // Spends steps that read no data.
    Status spend_free(std::uint64_t steps) {
        if (steps > free_left_) return free_exceeded();
        free_left_ -= steps;
        return spend(steps);
    }
    static BufrError exceeded();
    static BufrError free_exceeded();

private:
    std::uint64_t left_ = kMaxDecodeSteps;
    std::uint64_t free_left_ = kMaxFreeSteps;
};

// Checks a delayed replication count against the data left to read.
Status check_replication_count(std::uint32_t code, std::uint64_t count, const BitReader& reader);

// The count a factor value stands for: 0 when absent or negative, the value
// truncated towards zero, saturating at 2^64 - 1.
std::uint64_t replication_count(std::optional<double> value);


Result<DecodedValues> decode_section4(const BufrMessage& message, const TableSet& tables,
                                      std::string_view data);

Result<DecodedValues> decode_compressed(const BufrMessage& message, const TableSet& tables,
                                        std::string_view data);

}  // namespace corvena
