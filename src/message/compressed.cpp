// The compressed walk: every element occurrence is one column holding a
// value per subset (a local reference, an increment width, then one
// increment per subset). The columns stay column by column; readers take
// them subset by subset (DecodedValues::cell).
#include <cmath>

#include "message/bitmap.hpp"
#include "message/decode.hpp"
#include "common/descriptor.hpp"

namespace corvena {

namespace {

constexpr double kFactorTolerance = 2.220446049250313e-16;

class CompressedWalk {
public:
    CompressedWalk(const TableSet& tables, BitReader& reader, DecodeState& state, DecodedValues& cols,
                   std::uint16_t subsets, DecodeBudget& budget)
        : tables_(tables), reader_(reader), state_(state), cols_(cols), n_(subsets), budget_(budget) {}

    std::size_t column_count() const { return columns_; }

    Status run(std::span<const std::uint32_t> codes, unsigned depth) {
        if (depth > kMaxDecodeDepth) {
            return BufrError::table_parse("compressed descriptor decode exceeded recursion depth");
        }
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
                const std::size_t first = cols_.items.size();
                CORVENA_TRY(column(ElementView::of(*factor)));
                std::uint64_t count = 0;
                if (n_ > 0 && cols_.items[first].has_value()) {
                    const double f = cols_.items[first].raw_value;
                    for (std::size_t k = first; k < first + n_; ++k) {
                        const DecodedValue& v = cols_.items[k];
                        if (!v.has_value() || std::fabs(v.raw_value - f) > kFactorTolerance) {
                            return BufrError::table_parse(
                                "compressed delayed replication with varying factors is not implemented");
                        }
                    }
                    count = replication_count(f);
                }
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
    Status begin_column() {
        CORVENA_TRY(budget_.spend(n_ == 0 ? 1 : n_));
        ++columns_;
        return success();
    }

    // A numeric column: R0, NBINC, then an increment per subset.
    Status numeric(std::uint32_t code, const std::string* name, std::uint16_t w, std::int64_t reference,
                   std::int32_t scale, bool missing_allowed, bool with_meaning) {
        CORVENA_TRY(begin_column());
        auto r0 = reader_.read_bits(w);
        if (!r0) return std::move(r0).error();
        auto nbinc_r = reader_.read_bits(6);
        if (!nbinc_r) return std::move(nbinc_r).error();
        const std::uint16_t nbinc = static_cast<std::uint16_t>(*nbinc_r);
        const std::uint64_t base = *r0;
        const bool all_missing = missing_allowed && w < 64 && base == (std::uint64_t{1} << w) - 1;
        const std::uint64_t inc_missing = (std::uint64_t{1} << nbinc) - 1;
        const CodeTable* table = with_meaning ? tables_.find_code_table(code) : nullptr;
        for (unsigned s = 0; s < n_; ++s) {
            std::uint64_t inc = 0;
            if (nbinc != 0) {
                auto r = reader_.read_bits(nbinc);
                if (!r) return std::move(r).error();
                inc = *r;
            }
            // Filled where it lies, not copied from the stack.
            DecodedValue& v = cols_.items.emplace_back();
            v.descriptor = code;
            v.name = name;
            v.flags = DecodedValue::kHasRaw;
            const bool missing = all_missing || (missing_allowed && nbinc != 0 && inc == inc_missing);
            if (missing) {
                v.raw = base;
            } else {
                v.raw = base + inc;
                v.raw_value = scaled_value(reference, v.raw, scale);
                v.flags |= DecodedValue::kHasValue;
            }
            if (table != nullptr) {
                auto hit = table->find(v.raw);
                if (hit != table->end()) v.meaning = &hit->second;
            }
        }
        return success();
    }

    Status character(const ElementDefinition& def, std::uint16_t w) {
        CORVENA_TRY(begin_column());
        std::string& octets = state_.octets;
        CORVENA_TRY(reader_.read_bytes(w, octets));
        auto nbinc_r = reader_.read_bits(6);
        if (!nbinc_r) return std::move(nbinc_r).error();
        const std::uint64_t nbinc = *nbinc_r;
        const std::uint64_t counter = state_.text_column_counter++;
        std::uint32_t shared_offset = 0, shared_length = 0;
        bool shared_present = false;
        if (nbinc == 0) {
            const std::size_t start = cols_.text_pool.size();
            shared_present = text_from_octets(octets, cols_.text_pool);
            shared_offset = static_cast<std::uint32_t>(start);
            shared_length = static_cast<std::uint32_t>(cols_.text_pool.size() - start);
        }
        for (unsigned s = 0; s < n_; ++s) {
            DecodedValue v;
            v.descriptor = def.code;
            v.name = &def.name;
            v.raw_value = (static_cast<double>(counter) * n_ + 1 + s) * 1000.0 + static_cast<double>(w / 8);
            v.flags = DecodedValue::kHasValue;
            if (nbinc == 0) {
                if (shared_present) {
                    v.flags |= DecodedValue::kHasText;
                    v.text_offset = shared_offset;
                    v.text_length = shared_length;
                }
            } else {
                CORVENA_TRY(reader_.read_bytes(static_cast<std::uint16_t>(8 * nbinc), octets));
                const std::size_t start = cols_.text_pool.size();
                if (text_from_octets(octets, cols_.text_pool)) {
                    v.flags |= DecodedValue::kHasText;
                    v.text_offset = static_cast<std::uint32_t>(start);
                    v.text_length = static_cast<std::uint32_t>(cols_.text_pool.size() - start);
                }
            }
            cols_.items.push_back(v);
        }
        return success();
    }

    Status column(const ElementView& e) {
        const ElementDefinition& def = *e.def;
        if (is_character(def)) return character(def, character_width(e, state_));
        return numeric(def.code, &def.name, numeric_width(e, state_), effective_reference(e, state_),
                       effective_scale(e, state_), !is_class31(def.code), true);
    }

    Status element(std::uint32_t c) {
        if (state_.associated_width != 0 && !is_class31(c)) {
            CORVENA_TRY(numeric(kAssociatedFieldCode, &associated_field_name(), state_.associated_width, 0, 0,
                                false, false));
        }
        const ElementDefinition* def = tables_.find_element(c);
        if (def == nullptr) return BufrError::element_not_found(c);
        const std::size_t first = cols_.items.size();
        CORVENA_TRY(column(ElementView::of(*def)));
        if (c == 31031 && state_.defining_bitmap) {
            std::optional<double> v;
            if (n_ > 0 && cols_.items[first].has_value()) v = cols_.items[first].raw_value;
            state_.bitmap.push_back(bitmap_entry(v));
        } else {
            state_.history.push_back(def);
        }
        state_.local_width.reset();
        return success();
    }

    Status op(std::uint32_t c, unsigned x, std::uint8_t y) {
        if (apply_operator_setting(x, y, state_)) return success();
        switch (classify_operator(x, y)) {
        case OperatorEffect::None:
            return success();
        case OperatorEffect::Item: {
            // A column that reads no data: it counts against both bounds.
            CORVENA_TRY(budget_.spend_free(n_ == 0 ? 1 : n_));
            ++columns_;
            const DecodedValue item = operator_item(c);
            for (unsigned s = 0; s < n_; ++s) cols_.items.push_back(item);
            apply_bitmap_change(x, y, state_);
            return success();
        }
        case OperatorEffect::BitmapValue: {
            auto target = next_bitmap_target(state_, x == 25);
            if (!target) return std::move(target).error();
            if (!*target) return success();
            return column(**target);
        }
        }
        return success();
    }

    const TableSet& tables_;
    BitReader& reader_;
    DecodeState& state_;
    DecodedValues& cols_;  // columns one after another, n_ items each
    std::uint16_t n_;
    DecodeBudget& budget_;
    std::size_t columns_ = 0;
};

}  // namespace

Result<DecodedValues> decode_compressed(const BufrMessage& message, const TableSet& tables,
                                        std::string_view data) {
    const std::uint16_t n = message.number_of_subsets;
    DecodedValues cols;
    cols.items = take_item_buffer();
    BitReader reader(data);
    DecodeState state;
    DecodeBudget budget;
    CompressedWalk walk(tables, reader, state, cols, n, budget);
    CORVENA_TRY(walk.run(message.unexpanded_descriptors, 0));

    cols.by_column = true;
    cols.subsets = n;
    cols.columns = n == 0 ? 0 : walk.column_count();
    if (n == 0) cols.items.clear();
    return cols;
}

}  // namespace corvena
