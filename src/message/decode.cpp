#include "message/decode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "message/item_sink.hpp"

namespace corvena {

BufrError DecodeBudget::free_exceeded() {
    return BufrError::table_parse("section 4 decoding exceeded " + std::to_string(kFreeSteps) + " + " +
                                  std::to_string(kFreeStepsPerDataStep) +
                                  " per element read of descriptors and replications that read no data");
}

BufrError DecodeBudget::items_exceeded() {
    return BufrError::table_parse("section 4 decoding exceeded " + std::to_string(kMaxItems) +
                                  " items, the bound on the size of one result");
}

std::uint64_t replication_count(std::optional<double> value) {
    if (!value) return 0;
    const double v = std::trunc(*value);
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

Result<DecodedValues> decode_section4(const BufrMessage& message, const TableSet& tables,
                                      std::string_view data) {
    DecodedValues out;
    if (!message.compressed_data && message.number_of_subsets == 0) return out;
    out.items = take_item_buffer();
    auto make_sink = [&](std::uint64_t reserve) {
        if (reserve != 0) out.items.reserve(reserve);
        return ItemSink(out);
    };
    auto discard = [&] {
        out.items.clear();
        out.items.shrink_to_fit();
        out.text_pool.clear();
        out.text_pool.shrink_to_fit();
        out.subset_starts.clear();
        out.columns = 0;
    };
    CORVENA_TRY(decode_bounded(message, tables, data, make_sink, discard));
    if (message.compressed_data) {
        const std::uint16_t n = message.number_of_subsets;
        out.by_column = true;
        out.subsets = n;
        if (n == 0) {
            out.columns = 0;
            out.items.clear();
        }
    } else {
        out.columns = 0;
    }
    return out;
}

namespace {

// The number of columns the last compressed messages of each template had,
// per thread: the messages of one file mostly share a template, and a
// guess that falls short makes the cells grow (and be copied) again and
// again.
class ColumnHints {
public:
    static std::uint64_t key(const BufrMessage& message) {
        std::uint64_t h = 0xcbf29ce484222325ull ^ message.number_of_subsets;
        for (std::uint32_t d : message.unexpanded_descriptors) h = (h ^ d) * 0x100000001b3ull;
        return h;
    }

    std::uint64_t get(std::uint64_t key) const {
        for (const auto& [k, columns] : hints_) {
            if (k == key) return columns;
        }
        return 0;
    }

    void put(std::uint64_t key, std::uint64_t columns) {
        for (auto& [k, c] : hints_) {
            if (k == key) {
                c = columns;
                return;
            }
        }
        hints_[next_] = {key, columns};
        next_ = (next_ + 1) % hints_.size();
    }

private:
    std::array<std::pair<std::uint64_t, std::uint64_t>, 16> hints_{};
    std::size_t next_ = 0;
};

}  // namespace

Result<DecodedArrays> decode_section4_arrays(const BufrMessage& message, const TableSet& tables,
                                             std::string_view data) {
    thread_local ColumnHints hints;
    const std::uint64_t key = message.compressed_data ? ColumnHints::key(message) : 0;
    const std::uint64_t hint = message.compressed_data ? hints.get(key) : 0;
    DecodedArrays out;
    auto make_sink = [&](std::uint64_t reserve) {
        ArraySink sink(out, message.compressed_data, message.number_of_subsets);
        reserve = std::max(reserve, hint);
        if (reserve != 0) sink.reserve(reserve);
        return sink;
    };
    auto discard = [&] { out = DecodedArrays(); };
    CORVENA_TRY(decode_bounded(message, tables, data, make_sink, discard));
    if (message.compressed_data) hints.put(key, out.column_codes.size());
    return out;
}

}  // namespace corvena
