#include "message/decode.hpp"

#include <cmath>
#include <cstdio>

#include "message/bitmap.hpp"
#include "common/descriptor.hpp"

namespace corvena {

BufrError DecodeBudget::exceeded() {
    return BufrError::table_parse("section 4 decoding exceeded " + std::to_string(kMaxDecodeSteps) +
                                  " items and replications");
}

BufrError DecodeBudget::free_exceeded() {
    return BufrError::table_parse("section 4 decoding exceeded " + std::to_string(kMaxFreeSteps) +
                                  " items and replications that read no data");
}

Status check_replication_count(std::uint32_t code, std::uint64_t count, const BitReader& reader) {
    const std::uint64_t left = reader.bits_available() - reader.position();
    if (count <= left) return success();
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "delayed replication %06u repeats %llu times, more than the %llu bits left in section 4",
                  code, static_cast<unsigned long long>(count), static_cast<unsigned long long>(left));
    return BufrError::table_parse(buf);
}

std::uint64_t replication_count(std::optional<double> value) {
    if (!value) return 0;
    const double v = std::trunc(*value);
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

namespace {

class UncompressedWalk {
public:
    UncompressedWalk(const TableSet& tables, BitReader& reader, DecodeState& state, DecodedValues& out,
                     DecodeBudget& budget)
        : tables_(tables), reader_(reader), state_(state), out_(out), budget_(budget) {}

    Status run(std::span<const std::uint32_t> codes, unsigned depth) {
        if (depth > kMaxDecodeDepth) return BufrError::table_parse("descriptor decode exceeded recursion depth");
        const std::size_t n = codes.size();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t c = codes[i];
            const DescriptorParts p = split_code(c);
            const unsigned x = code_x(c);
            switch (p.f) {
            case 0:
                CORVENA_TRY(element(c));
                break;
            case 1: {
                if (x == 0 || i + x >= n) return BufrError::unsupported_replication(c);
                if (p.y != 0) {
                    for (unsigned r = 0; r < p.y; ++r) {
                        CORVENA_TRY(budget_.spend_free(1));
                        CORVENA_TRY(run(codes.subspan(i + 1, x), depth + 1));
                    }
                    i += x;
                    break;
                }
                if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(c);
                const std::uint32_t factor_code = codes[i + 1];
                const ElementDefinition* factor = tables_.find_element(factor_code);
                if (factor == nullptr) return BufrError::element_not_found(factor_code);
                CORVENA_TRY(budget_.spend(1));
                std::optional<double> value;
                CORVENA_TRY(decode_element(ElementView::of(*factor), tables_, reader_, state_, out_, value));
                const std::uint64_t count = replication_count(value);
                state_.history.push_back(factor);
                CORVENA_TRY(check_replication_count(c, count, reader_));
                const auto group = codes.subspan(i + 2, x);
                for (std::uint64_t r = 0; r < count; ++r) {
                    CORVENA_TRY(budget_.spend_free(1));
                    CORVENA_TRY(run(group, depth + 1));
                }
                i += x + 1;
                break;
            }
            case 2:
                CORVENA_TRY(op(c, x, p.y));
                break;
            case 3: {
                const SequenceDefinition* seq = tables_.find_sequence(c);
                if (seq == nullptr) return BufrError::sequence_not_found(c);
                CORVENA_TRY(run(seq->members, depth + 1));
                break;
            }
            default:
                return BufrError::invalid_descriptor(c);
            }
        }
        return success();
    }

private:
    Status associated_field() {
        if (state_.associated_width == 0) return success();
        auto raw = reader_.read_bits(state_.associated_width);
        if (!raw) return std::move(raw).error();
        CORVENA_TRY(budget_.spend(1));
        out_.items.push_back(associated_item(*raw));
        return success();
    }

    // decode_element, its item charged to the budget as one that read data
    // or, for a zero-width field, as one that read none.
    Status charged_element(const ElementView& e, std::optional<double>& value) {
        const std::uint64_t before = reader_.position();
        CORVENA_TRY(decode_element(e, tables_, reader_, state_, out_, value));
        return reader_.position() == before ? budget_.spend_free(1) : budget_.spend(1);
    }

    Status element(std::uint32_t c) {
        // As in compressed data, class 31 elements (and replication factors,
        // above) carry no associated field.
        if (!is_class31(c)) CORVENA_TRY(associated_field());
        const ElementDefinition* def = tables_.find_element(c);
        if (def == nullptr) return BufrError::element_not_found(c);
        std::optional<double> value;
        CORVENA_TRY(charged_element(ElementView::of(*def), value));
        state_.local_width.reset();
        if (c == 31031 && state_.defining_bitmap) {
            if (value) state_.bitmap.push_back(bitmap_entry(value));
        } else {
            state_.history.push_back(def);
        }
        return success();
    }

    Status op(std::uint32_t c, unsigned x, std::uint8_t y) {
        if (apply_operator_setting(x, y, state_)) return success();
        switch (classify_operator(x, y)) {
        case OperatorEffect::None:
            return success();
        case OperatorEffect::Item:
            CORVENA_TRY(budget_.spend_free(1));
            out_.items.push_back(operator_item(c));
            apply_bitmap_change(x, y, state_);
            return success();
        case OperatorEffect::BitmapValue: {
            auto target = next_bitmap_target(state_, x == 25);
            if (!target) return std::move(target).error();
            if (!*target) return success();
            std::optional<double> value;
            return charged_element(**target, value);
        }
        }
        return success();
    }

    const TableSet& tables_;
    BitReader& reader_;
    DecodeState& state_;
    DecodedValues& out_;
    DecodeBudget& budget_;
};

}  // namespace

Result<DecodedValues> decode_section4(const BufrMessage& message, const TableSet& tables,
                                      std::string_view data) {
    if (message.compressed_data) return decode_compressed(message, tables, data);
    DecodedValues out;
    if (message.number_of_subsets == 0) return out;
    out.items = take_item_buffer();
    // A first guess at the item count saves most regrowth of the vector.
    out.items.reserve(std::min<std::size_t>(data.size() * 8 / 12 + 16, std::size_t{1} << 20));
    BitReader reader(data);
    DecodeState state;
    DecodeBudget budget;
    UncompressedWalk walk(tables, reader, state, out, budget);
    for (unsigned s = 0; s < message.number_of_subsets; ++s) {
        state.reset_for_subset();
        CORVENA_TRY(walk.run(message.unexpanded_descriptors, 0));
    }
    return out;
}

}  // namespace corvena
