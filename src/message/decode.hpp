// Decoding section 4 of one message. The descriptor walk (walk.hpp) is
// written once; `decode_into` runs it with the reader of the message's data
// layout and hands every item to a sink. `decode_section4` is that walk
// with the DecodedValue sink: all items of subset 1, then of subset 2, and
// so on, for compressed and uncompressed data alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "bitstream/bit_reader.hpp"
#include "common/error.hpp"
#include "message/array_sink.hpp"
#include "message/framing.hpp"
#include "message/readers.hpp"
#include "message/value.hpp"
#include "message/walk.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// Runs the walk over `data` (the section 4 data of `message`) into `sink`.
// Uncompressed data is walked subset by subset, with a fresh state for
// each (the running number of texts goes on); compressed data once, a
// column per element occurrence. The sink sees begin_subset() before each
// uncompressed subset.
template <class Sink>
Status decode_into(const BufrMessage& message, const TableSet& tables, std::string_view data, Sink& sink,
                   DecodeBudget& budget) {
    BitReader bits(data);
    DecodeState state;
    if (message.compressed_data) {
        CompressedReader<Sink> reader(tables, bits, state, sink, budget, message.number_of_subsets);
        DescriptorWalk<CompressedReader<Sink>> walk(tables, reader, state, budget);
        return walk.run(message.unexpanded_descriptors, 0);
    }
    UncompressedReader<Sink> reader(tables, bits, state, sink, budget);
    DescriptorWalk<UncompressedReader<Sink>> walk(tables, reader, state, budget);
    for (unsigned s = 0; s < message.number_of_subsets; ++s) {
        state.reset_for_subset();
        sink.begin_subset();
        CORVENA_TRY(walk.run(message.unexpanded_descriptors, 0));
    }
    return success();
}

// A sink that keeps nothing: counts the items of a message before a large
// result is built.
struct CountingSink {
    static constexpr bool kWantsMeanings = false;
    struct SharedText {};
    void numeric_column(const NumericColumn&) {}
    void begin_subset() {}
    void begin_column(std::uint64_t) {}
    void reserve(std::uint64_t) {}
    void numeric(std::uint32_t, const std::string*, std::uint64_t, bool, double, const std::string*) {}
    void text(std::uint32_t, const std::string*, double, std::string_view) {}
    SharedText share_text(std::string_view) { return {}; }
    void text_shared(std::uint32_t, const std::string*, double, const SharedText&) {}
    void op(std::uint32_t) {}
    void associated(std::uint64_t) {}
    void mark_bitmap_value() {}
    void mark_rescaled() {}
};

// Builds the result with `make_sink` (called with the item count to
// reserve, or for a compressed message the column count, 0 when there is
// no guess, and returning a fresh sink each time)
// within the bound on items: a first pass builds up to kFirstPassItems; a
// message with more is counted first and built only when it fits kMaxItems.
template <class MakeSink, class Finish>
Status decode_bounded(const BufrMessage& message, const TableSet& tables, std::string_view data,
                      MakeSink&& make_sink, Finish&& discard) {
    {
        DecodeBudget budget(kFirstPassItems);
        // Uncompressed items take a dozen bits or so each, a compressed
        // column its reference value, increment width and a few bits per
        // subset: a first guess spares most regrowth of the result.
        const std::uint64_t bits = data.size() * 8;
        const std::uint64_t guess =
            message.compressed_data
                ? std::min<std::uint64_t>(bits / (16 + 4 * std::uint64_t{message.number_of_subsets}) + 16,
                                          std::uint64_t{1} << 16)
                : std::min<std::uint64_t>(bits / 12 + 16, std::uint64_t{1} << 20);
        auto sink = make_sink(guess);
        Status first = decode_into(message, tables, data, sink, budget);
        if (first || !budget.hit_first_pass_limit()) return first;
        discard();
    }
    DecodeBudget count_budget(kMaxItems);
    CountingSink counter;
    CORVENA_TRY(decode_into(message, tables, data, counter, count_budget));
    DecodeBudget budget(kMaxItems);
    const std::uint64_t n = message.number_of_subsets;
    auto sink = make_sink(message.compressed_data && n > 1 ? count_budget.item_count() / n : count_budget.item_count());
    return decode_into(message, tables, data, sink, budget);
}

Result<DecodedValues> decode_section4(const BufrMessage& message, const TableSet& tables,
                                      std::string_view data);

// The same walk with the array sink. Touches nothing but its arguments, so
// any number of calls may run at once on other threads over one TableSet.
Result<DecodedArrays> decode_section4_arrays(const BufrMessage& message, const TableSet& tables,
                                             std::string_view data);

}  // namespace corvena
