// Decoding section 4 of one message into a flat list of items: all items of
// subset 1, then of subset 2, and so on, for compressed and uncompressed
// data alike.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bitstream/bit_reader.hpp"
#include "message/error.hpp"
#include "message/framing.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena {

constexpr unsigned kMaxDecodeDepth = 64;

// Bounds on the work of one decoding call. A delayed replication may not
// repeat its group more often than there are bits left in section 4, and a
// call may not produce more items and group repetitions together than
// kMaxDecodeSteps: groups that read no bits would otherwise repeat without
// end or exhaust memory.
constexpr std::uint64_t kMaxDecodeSteps = std::uint64_t{1} << 25;

class DecodeBudget {
public:
    // Spends `steps` (items or repetitions); fails once the bound is passed.
    Status spend(std::uint64_t steps) {
        if (steps > left_) return exceeded();
        left_ -= steps;
        return success();
    }
    static BufrError exceeded();

private:
    std::uint64_t left_ = kMaxDecodeSteps;
};

// Checks a delayed replication count against the data left to read.
Status check_replication_count(std::uint32_t code, std::uint64_t count, const BitReader& reader);

// The count a factor value stands for: 0 when absent or negative, the value
// truncated towards zero, saturating at 2^64 - 1.
std::uint64_t replication_count(std::optional<double> value);

BufrError invalid_descriptor(std::uint32_t code);

Result<DecodedValues> decode_section4(const BufrMessage& message, const TableSet& tables,
                                      std::string_view data);

Result<DecodedValues> decode_compressed(const BufrMessage& message, const TableSet& tables,
                                        std::string_view data);

}  // namespace corvena
