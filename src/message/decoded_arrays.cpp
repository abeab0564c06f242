#include "message/decoded_arrays.hpp"

#include <cmath>
#include <mutex>

#include "common/descriptor.hpp"

namespace corvena {

namespace {

constexpr std::size_t kMaxSpareCellBytes = std::size_t{128} << 20;

struct SpareCells {
    std::mutex lock;
    std::vector<Cells> blocks;
    std::size_t bytes = 0;
};

SpareCells& spare_cells() {
    static SpareCells* spare = new SpareCells;  // never destroyed: threads may outlive static destruction
    return *spare;
}

}  // namespace

Cells take_cells() {
    SpareCells& spare = spare_cells();
    std::lock_guard<std::mutex> hold(spare.lock);
    if (spare.blocks.empty()) return {};
    Cells out = std::move(spare.blocks.back());
    spare.blocks.pop_back();
    spare.bytes -= out.capacity() * sizeof(double);
    return out;
}

void recycle_cells(DecodedArrays&& arrays) {
    const std::size_t bytes = arrays.cells.capacity() * sizeof(double);
    if (bytes == 0) return;
    SpareCells& spare = spare_cells();
    std::lock_guard<std::mutex> hold(spare.lock);
    if (spare.bytes + bytes > kMaxSpareCellBytes) return;
    arrays.cells.clear();
    spare.bytes += bytes;
    spare.blocks.push_back(std::move(arrays.cells));
}

__int128 cell_units(const DecodedArrays& d, std::size_t j, std::size_t s) {
    const std::int32_t slot = d.column_wide_slot[j];
    if (slot >= 0) {
        const std::size_t w = static_cast<std::size_t>(slot) * d.subsets + s;
        return static_cast<__int128>(d.column_r0[j]) + d.wide_increments[w] + d.column_reference[j];
    }
    const double p = power_of_ten(d.column_scale[j]);
    return static_cast<__int128>(std::llrint(d.cells[j * d.subsets + s] * p));
}

std::uint64_t cell_raw(const DecodedArrays& d, std::size_t j, std::size_t s) {
    if ((d.column_flags[j] & DecodedArrays::kHasRaw) == 0) return 0;
    if (std::isnan(d.cells[j * d.subsets + s])) return d.column_r0[j];
    return static_cast<std::uint64_t>(cell_units(d, j, s) - d.column_reference[j]);
}

std::vector<std::uint64_t> raws_by_item(const DecodedArrays& d) {
    const std::size_t m = d.column_codes.size(), n = d.subsets;
    std::vector<std::uint64_t> out(m * n);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t s = 0; s < n; ++s) out[s * m + j] = cell_raw(d, j, s);
    }
    return out;
}

bool figure_meaning(const TableSet& tables, std::uint32_t code, std::uint64_t raw, bool flag, unsigned width,
                    std::string& out) {
    out.clear();
    if (!flag) {
        const std::string* m = tables.find_meaning(code, raw);
        if (m == nullptr) return false;
        out = *m;
        return true;
    }
    bool any = false;
    for (unsigned bit = 1; bit <= width && bit <= 64; ++bit) {
        if (((raw >> (width - bit)) & 1) == 0) continue;
        if (any) out.append("; ");
        any = true;
        const std::string* m = tables.find_meaning(code, bit);
        if (m != nullptr) out += *m;
        else out += "bit " + std::to_string(bit);
    }
    return any;
}

const std::string& item_name(const TableSet& tables, std::uint32_t code, std::uint8_t flags) {
    if ((flags & DecodedArrays::kOperator) != 0) return operator_name();
    if ((flags & DecodedArrays::kLocal) != 0) return local_element_name();
    if (code == kAssociatedFieldCode) return associated_field_name();
    if (code / 100000 == 2 && code_x(code) == 5) return characters_name();
    const ElementDefinition* def = tables.find_element(code);
    return def != nullptr ? def->name : local_element_name();
}

namespace {

// What every item of one code (and flags) shares: its name and code table.
struct Kind {
    const std::string* name;
    const CodeTable* table;
};

// The kinds of the codes of one message, each looked up once: open
// addressing over a table that grows to stay at most half full.
class Kinds {
public:
    explicit Kinds(const TableSet& tables) : tables_(tables), slots_(64) {}

    const Kind& of(std::uint32_t code, std::uint8_t flags) {
        flags &= DecodedArrays::kHasText | DecodedArrays::kOperator | DecodedArrays::kLocal;
        // Codes are below 2^24; 0 marks a free slot.
        const std::uint32_t key = ((static_cast<std::uint32_t>(flags) << 24) | code) + 1;
        if (key == last_key_) return *last_;
        Slot* slot = find(key);
        if (slot->key == 0) {
            slot->key = key;
            slot->kind.name = &item_name(tables_, code, flags);
            const bool numeric = (flags & (DecodedArrays::kHasText | DecodedArrays::kOperator)) == 0;
            slot->kind.table = numeric && code != kAssociatedFieldCode ? tables_.find_code_table(code) : nullptr;
            if (++used_ * 2 > slots_.size()) {
                grow();
                slot = find(key);
            }
        }
        last_key_ = key;
        last_ = &slot->kind;
        return slot->kind;
    }

private:
    struct Slot {
        std::uint32_t key = 0;
        Kind kind{nullptr, nullptr};
    };

    Slot* find(std::uint32_t key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = (key * 2654435761u) & mask;; i = (i + 1) & mask) {
            if (slots_[i].key == key || slots_[i].key == 0) return &slots_[i];
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.key != 0) *find(s.key) = s;
        }
        last_key_ = 0;
    }

    const TableSet& tables_;
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::uint32_t last_key_ = 0;
    const Kind* last_ = nullptr;
};

// Where each text of the message lies in the text pool of the records
// (a text that subsets share is copied once).
class Pool {
public:
    Pool(const DecodedArrays& d, DecodedValues& out) : d_(d), out_(out), at_(d.texts.size(), -1) {}

    void place(std::int32_t text, DecodedValue& v) {
        const auto k = static_cast<std::size_t>(text);
        if (at_[k] < 0) {
            at_[k] = static_cast<std::int64_t>(out_.text_pool.size());
            out_.text_pool += d_.texts[k];
        }
        v.text_offset = static_cast<std::uint32_t>(at_[k]);
        v.text_length = static_cast<std::uint32_t>(d_.texts[k].size());
    }

private:
    const DecodedArrays& d_;
    DecodedValues& out_;
    std::vector<std::int64_t> at_;
};

// One item from its parts; `text` is -1 (missing) or an index into the texts.
void fill(DecodedValue& v, Pool& pool, const Kind& kind, std::uint32_t code, std::uint8_t flags, double value,
          std::uint64_t raw, std::int32_t text) {
    v.descriptor = code;
    v.name = kind.name;
    if ((flags & DecodedArrays::kHasText) != 0) {
        v.raw_value = value;
        v.flags = DecodedValue::kHasValue;
        if (text >= 0) {
            v.flags |= DecodedValue::kHasText;
            pool.place(text, v);
        }
        return;
    }
    v.raw = raw;
    v.flags = DecodedValue::kHasRaw;
    if ((flags & DecodedArrays::kOperator) != 0) {
        v.flags |= DecodedValue::kHasValue;
        return;
    }
    if (!std::isnan(value)) {
        v.raw_value = value;
        v.flags |= DecodedValue::kHasValue;
    }
    if (kind.table != nullptr) {
        auto hit = kind.table->find(raw);
        if (hit != kind.table->end()) v.meaning = &hit->second;
    }
}

}  // namespace

DecodedValues as_decoded_values(const DecodedArrays& d, const TableSet& tables) {
    DecodedValues out;
    Kinds kinds(tables);
    Pool pool(d, out);
    // A vector left by an earlier call: its pages are already there.
    out.items = take_item_buffer();
    if (!d.compressed) {
        const std::size_t n = d.codes.size();
        out.items.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t code = d.codes[i];
            const std::uint8_t flags = d.flags[i];
            fill(out.items[i], pool, kinds.of(code, flags), code, flags, d.values[i], d.raws[i], d.text_index[i]);
        }
        out.subset_starts = d.subset_starts;
        return out;
    }
    const std::size_t m = d.column_codes.size(), n = d.subsets;
    out.by_column = true;
    out.subsets = n;
    out.columns = n == 0 ? 0 : m;
    out.items.resize(out.columns * n);
    for (std::size_t j = 0; j < out.columns; ++j) {
        const std::uint32_t code = d.column_codes[j];
        const std::uint8_t flags = d.column_flags[j];
        const Kind& kind = kinds.of(code, flags);
        DecodedValue* items = out.items.data() + j * n;
        const double* cells = d.cells.data() + j * n;
        const bool plain = (flags & (DecodedArrays::kHasText | DecodedArrays::kOperator)) == 0 &&
                           d.column_wide_slot[j] < 0 && kind.table == nullptr;
        if (plain) {
            // The common column: numbers whose raw values follow from their
            // values (see cell_units), with no meanings to look up.
            const double p = power_of_ten(d.column_scale[j]);
            const std::int64_t ref = d.column_reference[j];
            const std::uint64_t r0 = d.column_r0[j];
            for (std::size_t s = 0; s < n; ++s) {
                DecodedValue& v = items[s];
                v.descriptor = code;
                v.name = kind.name;
                const double value = cells[s];
                if (std::isnan(value)) {
                    v.raw = r0;
                    v.flags = DecodedValue::kHasRaw;
                } else {
                    v.raw = static_cast<std::uint64_t>(std::llrint(value * p) - ref);
                    v.raw_value = value;
                    v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
                }
            }
            continue;
        }
        const std::int32_t slot = d.column_text_slot[j];
        for (std::size_t s = 0; s < n; ++s) {
            const std::int32_t text = slot >= 0 ? d.text_cells[static_cast<std::size_t>(slot) * n + s] : -1;
            fill(items[s], pool, kind, code, flags, cells[s], cell_raw(d, j, s), text);
        }
    }
    return out;
}

}  // namespace corvena
