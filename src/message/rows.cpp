#include "message/rows.hpp"

#include <utility>

namespace corvena {

bool form_rows(std::span<const std::int16_t> element, std::span<const std::int64_t> starts,
               std::span<const std::int32_t> key_of, std::size_t width, Rows& out) {
    out.width = width;
    out.items.clear();
    out.subsets.clear();
    for (const std::int32_t k : key_of) {
        if (k < 0 || static_cast<std::size_t>(k) >= width) return false;
    }
    const std::int64_t n = static_cast<std::int64_t>(element.size());
    for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
        if (starts[s] < 0 || starts[s] > starts[s + 1] || starts[s + 1] > n) return false;
    }
    // The live elements, oldest first, with the position of their value;
    // where each element stands among them (-1: not live).
    std::vector<std::pair<std::int32_t, std::int64_t>> live;
    std::vector<std::int32_t> place(key_of.size(), -1);
    auto give_row = [&](std::size_t subset) {
        const std::size_t at = out.items.size();
        out.items.resize(at + width, -1);
        for (const auto& [e, pos] : live) out.items[at + static_cast<std::size_t>(key_of[e])] = pos;
        out.subsets.push_back(static_cast<std::int64_t>(subset));
    };
    for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
        for (std::int64_t p = starts[s]; p < starts[s + 1]; ++p) {
            const std::int32_t e = element[static_cast<std::size_t>(p)];
            if (e < 0) continue;
            if (static_cast<std::size_t>(e) >= key_of.size()) return false;
            if (place[e] >= 0) {
                const auto cut = static_cast<std::size_t>(place[e]);
                give_row(s);
                for (std::size_t i = cut; i < live.size(); ++i) place[live[i].first] = -1;
                live.resize(cut);
            }
            place[e] = static_cast<std::int32_t>(live.size());
            live.emplace_back(e, p);
        }
        if (!live.empty()) {
            give_row(s);
            for (const auto& entry : live) place[entry.first] = -1;
            live.clear();
        }
    }
    return true;
}

}  // namespace corvena
