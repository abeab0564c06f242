#include "tables/expand.hpp"

#include <string>

#include "common/descriptor.hpp"

namespace corvena {

namespace {

BufrError too_many() {
    return BufrError::table_parse("sequence expansion exceeded " + std::to_string(kMaxExpandedCodes) + " descriptors");
}

}  // namespace

Status expand_into(const TableSet& tables, std::span<const std::uint32_t> codes, unsigned level,
                   ExpansionState& state, std::vector<std::uint32_t>& out) {
    if (level > kMaxExpansionDepth) return BufrError::table_parse("sequence expansion exceeded recursion depth");
    const std::size_t n = codes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = codes[i];
        const DescriptorParts p = split_code(c);
        const unsigned x = code_x(c);
        switch (p.f) {
        case 0:
            if (out.size() + 2 > kMaxExpandedCodes) return too_many();
            if (state.associated_width != 0 && x != 31) out.push_back(kAssociatedFieldCode);
            out.push_back(c);
            break;
        case 1: {
            if (x == 0 || i + x >= n) return BufrError::unsupported_replication(c);
            if (p.y != 0) {
                for (unsigned r = 0; r < p.y; ++r) {
                    // A group that yields nothing could otherwise repeat
                    // through every level without growing the output.
                    if (++state.repetitions > kMaxExpandedCodes) return too_many();
                    CORVENA_TRY(expand_into(tables, codes.subspan(i + 1, x), level + 1, state, out));
                }
                i += x;
            } else {
                if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(c);
                CORVENA_TRY(expand_into(tables, codes.subspan(i + 1, x + 1), level + 1, state, out));
                i += x + 1;
            }
            break;
        }
        case 2:
            if (operator_class(x, p.y) == OperatorClass::Setting) {
                // Settings change how later elements are read; only the
                // associated field shows in the expansion.
                if (x == 4) state.associated_width = p.y;
            } else {
                if (out.size() + 1 > kMaxExpandedCodes) return too_many();
                out.push_back(c);
            }
            break;
        case 3: {
            const SequenceDefinition* seq = tables.find_sequence(c);
            if (seq == nullptr) return BufrError::sequence_not_found(c);
            CORVENA_TRY(expand_into(tables, seq->members, level + 1, state, out));
            break;
        }
        default:
            return BufrError::invalid_descriptor(c);
        }
    }
    return success();
}

Result<std::vector<std::uint32_t>> expand(const TableSet& tables, std::span<const std::uint32_t> codes) {
    std::vector<std::uint32_t> out;
    ExpansionState state;
    CORVENA_TRY(expand_into(tables, codes, 0, state, out));
    return out;
}

}  // namespace corvena
