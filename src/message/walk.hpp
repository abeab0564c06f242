// The descriptor walk: one piece of code for uncompressed and compressed
// data. It enters sequences, repeats replicated groups, applies operators,
// keeps the bitmap and the element history, and bounds the work; how one
// value is read (one field, or a compressed column across subsets) and
// where the items go are the business of the `Reader` policy it is given.
//
// A Reader offers:
//   Status element(const ElementView&, std::optional<double>& first)
//       reads one element occurrence, emits its item(s); `first` is the
//       value of the first subset (absent when missing or text)
//   Result<std::uint64_t> factor(const ElementView&)
//       reads a delayed replication factor, emits it, returns the count
//   Status associated(std::uint8_t width)        an associated field
//   Status operator_item(std::uint32_t code)     an operator item
//   void bitmap_value()                          the element just read was read through a bitmap
//   Status characters(std::uint32_t code, std::uint16_t bits)   2-05-YYY
//   Result<std::int64_t> new_reference(std::uint16_t bits)      2-03-YYY
//   std::uint64_t position() const               bits read so far
//   static constexpr const char* kDepthError
//   static constexpr bool kMissingBitmapEntryIsZero
//   static constexpr bool kWantsCodeTables     (the walk hands each element its code table)
// and, where it wants them, void begin_replication(std::span<const std::uint32_t> group)
// before the factor of a delayed replication of `group`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/descriptor.hpp"
#include "common/error.hpp"
#include "message/bitmap.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena {

constexpr unsigned kMaxDecodeDepth = 64;

// Bounds on one decoding call, checked where the work is done and before
// the memory is spent.
//
// - Work that reads data needs no count bound: each element occurrence
//   reads at least one bit (a compressed column at least six), so section 4
//   ends it. A delayed replication count is therefore never compared with
//   the bits left: a group that reads data runs out of them by itself.
// - Work that reads no data (operators, zero-width elements, sequences and
//   repetitions that read no bit) may not pass kFreeSteps plus
//   kFreeStepsPerDataStep for every occurrence that did read data: without
//   it, a group that reads nothing could repeat without end.
// - The items of one result may not pass kMaxItems, counted before an item
//   or column is added: a message of 16 MB could otherwise ask for more
//   memory than any machine has (65535 compressed subsets of a million
//   columns). A result is first built with a limit of kFirstPassItems; a
//   message with more items is then counted without being stored, and
//   built again only when it fits. So no message makes the decoder hold
//   more than kFirstPassItems items before it is refused.
constexpr std::uint64_t kFreeSteps = std::uint64_t{1} << 20;
constexpr std::uint64_t kFreeStepsPerDataStep = 16;
constexpr std::uint64_t kMaxItems = std::uint64_t{1} << 25;
constexpr std::uint64_t kFirstPassItems = std::uint64_t{1} << 22;

class DecodeBudget {
public:
    explicit DecodeBudget(std::uint64_t item_limit = kMaxItems) : item_limit_(item_limit) {}

    // Whether the last failure was the item limit of a first pass (and not
    // the hard bound).
    bool hit_first_pass_limit() const { return items_ > item_limit_ && item_limit_ < kMaxItems; }
    std::uint64_t item_count() const { return items_; }

    void data_step() { ++data_steps_; }
    Status free_step() {
        ++free_steps_;
        if (free_steps_ > kFreeSteps + kFreeStepsPerDataStep * data_steps_) return free_exceeded();
        return success();
    }
    // Charges `count` items before they are added.
    Status items(std::uint64_t count) {
        items_ += count;
        if (items_ > item_limit_) return items_exceeded();
        return success();
    }

    static BufrError free_exceeded();
    static BufrError items_exceeded();

private:
    std::uint64_t item_limit_;
    std::uint64_t data_steps_ = 0;
    std::uint64_t free_steps_ = 0;
    std::uint64_t items_ = 0;
};

// The count a factor value stands for: 0 when absent or negative, the value
// truncated towards zero, saturating at 2^64 - 1.
std::uint64_t replication_count(std::optional<double> value);

// The count of a delayed replication factor that a policy reads or writes
// as one more element.
template <class Policy>
Result<std::uint64_t> element_factor(Policy& policy, const ElementView& e) {
    std::optional<double> value;
    CORVENA_TRY(policy.element(e, value));
    return replication_count(value);
}

// Table lookups for one message: a message names the same few descriptors
// again and again (every subset, every repetition), so each is looked up in
// the TableSet once and then found here. A cache serves one walk at a time:
// each thread keeps one for its walks (see lease()), emptied slot by slot
// when a walk ends, so that a message costs neither the allocation nor the
// clearing of its 48 KiB.
class LookupCache {
public:
    LookupCache() = default;
    LookupCache(const LookupCache&) = delete;
    LookupCache& operator=(const LookupCache&) = delete;

    const ElementDefinition* element(std::uint32_t code) {
        return static_cast<const ElementDefinition*>(find(elements_, code, [&] { return tables_->find_element(code); }));
    }
    // The code or flag table of an element, null when it has none.
    const CodeTable* code_table(std::uint32_t code) {
        const void* found = find(tables_of_codes_, code, [&]() -> const void* {
            const CodeTable* t = tables_->find_code_table(code);
            return t != nullptr ? static_cast<const void*>(t) : static_cast<const void*>(&kNoTable);
        });
        return found == &kNoTable ? nullptr : static_cast<const CodeTable*>(found);
    }
    const SequenceDefinition* sequence(std::uint32_t code) {
        return static_cast<const SequenceDefinition*>(
            find(sequences_, code, [&] { return tables_->find_sequence(code); }));
    }

    // Gives the cache back: its slots emptied, then kept for the thread's
    // next walk (or freed when the thread already keeps one).
    struct Release {
        void operator()(LookupCache* cache) const noexcept;
    };
    using Lease = std::unique_ptr<LookupCache, Release>;
    // An empty cache for one walk over `tables`.
    static Lease lease(const TableSet& tables);

private:
    // Open addressing with linear probing; codes found are kept, codes
    // missing are looked up again (they end the decoding anyway). A
    // message with more distinct codes than kMaxKept looks the others up
    // in the TableSet every time.
    static constexpr std::size_t kSlots = 1024;
    static constexpr std::size_t kMaxKept = 768;
    struct Slot {
        std::uint32_t code = 0;
        const void* ptr = nullptr;
    };
    struct Table {
        Slot slots[kSlots];
        std::uint16_t used[kMaxKept];  // the slots filled, to empty them again
        std::size_t kept = 0;
        void clear() noexcept {
            for (std::size_t k = 0; k < kept; ++k) slots[used[k]] = Slot{};
            kept = 0;
        }
    };

    template <class Lookup>
    static const void* find(Table& t, std::uint32_t code, Lookup&& lookup) {
        std::size_t i = (code * 2654435761u) >> 22;
        for (;; i = (i + 1) & (kSlots - 1)) {
            Slot& slot = t.slots[i];
            if (slot.ptr == nullptr) break;
            if (slot.code == code) return slot.ptr;
        }
        const void* found = lookup();
        if (found != nullptr && t.kept < kMaxKept) {
            t.slots[i].code = code;
            t.slots[i].ptr = found;
            t.used[t.kept++] = static_cast<std::uint16_t>(i);
        }
        return found;
    }

    static inline const char kNoTable = 0;
    static std::unique_ptr<LookupCache>& thread_cache();

    const TableSet* tables_ = nullptr;
    bool busy_ = false;
    Table elements_;
    Table sequences_;
    Table tables_of_codes_;
};

inline std::unique_ptr<LookupCache>& LookupCache::thread_cache() {
    thread_local std::unique_ptr<LookupCache> kept;
    return kept;
}

inline LookupCache::Lease LookupCache::lease(const TableSet& tables) {
    std::unique_ptr<LookupCache>& kept = thread_cache();
    LookupCache* cache = kept && !kept->busy_ ? kept.get() : new LookupCache();
    cache->busy_ = true;
    cache->tables_ = &tables;
    return Lease(cache);
}

inline void LookupCache::Release::operator()(LookupCache* cache) const noexcept {
    cache->elements_.clear();
    cache->sequences_.clear();
    cache->tables_of_codes_.clear();
    cache->tables_ = nullptr;
    cache->busy_ = false;
    std::unique_ptr<LookupCache>& kept = thread_cache();
    if (!kept) {
        kept.reset(cache);
    } else if (kept.get() != cache) {
        delete cache;  // a second walk at once on this thread
    }
}

template <class Reader>
class DescriptorWalk {
public:
    DescriptorWalk(const TableSet& tables, Reader& reader, DecodeState& state, DecodeBudget& budget)
        : tables_(tables), reader_(reader), state_(state), budget_(budget) {}

    Status run(std::span<const std::uint32_t> codes, unsigned depth) {
        if (depth > kMaxDecodeDepth) return BufrError::table_parse(Reader::kDepthError);
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
                    for (unsigned r = 0; r < p.y; ++r) CORVENA_TRY(body(codes.subspan(i + 1, x), depth + 1));
                    i += x;
                    break;
                }
                if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(c);
                const std::uint32_t factor_code = codes[i + 1];
                const ElementDefinition* factor = lookups().element(factor_code);
                if (factor == nullptr) return BufrError::element_not_found(factor_code);
                if constexpr (requires { reader_.begin_replication(codes); }) {
                    reader_.begin_replication(codes.subspan(i + 2, x));
                }
                auto count = reader_.factor(ElementView::of(*factor));
                if (!count) return std::move(count).error();
                budget_.data_step();
                state_.history.push_back(factor);
                const auto group = codes.subspan(i + 2, x);
                for (std::uint64_t r = 0; r < *count; ++r) CORVENA_TRY(body(group, depth + 1));
                i += x + 1;
                break;
            }
            case 2:
                CORVENA_TRY(op(c, x, p.y));
                break;
            case 3: {
                const SequenceDefinition* seq = lookups().sequence(c);
                if (seq == nullptr) return BufrError::sequence_not_found(c);
                CORVENA_TRY(body(seq->members, depth + 1));
                break;
            }
            default:
                return BufrError::invalid_descriptor(c);
            }
        }
        return success();
    }

private:
    // A sequence or one repetition of a group; one that read no bit is
    // charged as work that reads no data.
    Status body(std::span<const std::uint32_t> codes, unsigned depth) {
        const std::uint64_t before = reader_.position();
        CORVENA_TRY(run(codes, depth));
        if (reader_.position() == before) return budget_.free_step();
        return success();
    }

    Status charge(std::uint64_t before) {
        if (reader_.position() == before) return budget_.free_step();
        budget_.data_step();
        return success();
    }

    Status element(std::uint32_t c) {
        const ElementDefinition* def = lookups().element(c);
        if (state_.new_reference_width != 0) {
            // Between 2-03-YYY and 2-03-255 an element descriptor stands for
            // a new reference value of that element, not for data.
            if (def == nullptr) return BufrError::element_not_found(c);
            auto reference = reader_.new_reference(state_.new_reference_width);
            if (!reference) return std::move(reference).error();
            budget_.data_step();
            state_.set_new_reference(c, *reference);
            return success();
        }
        // Class 31 elements (replication factors, data present indicators)
        // carry no associated field.
        const std::uint64_t before = reader_.position();
        if (state_.associated_width != 0 && !is_class31(c)) CORVENA_TRY(reader_.associated(state_.associated_width));
        // 2-06-YYY lets a decoder pass over a local element it does not
        // know: its YYY bits are read as a plain number. A table entry of
        // another width describes some other element of that code (local
        // tables differ between centres), so it is not applied either.
        if (def != nullptr && state_.local_width && def->width != *state_.local_width) def = nullptr;
        if (def == nullptr) {
            if (!state_.local_width) return BufrError::element_not_found(c);
            ElementDefinition& local = state_.local_elements.emplace_back();
            local.code = c;
            local.width = *state_.local_width;
            local.kind = ElementKind::Local;
            def = &local;
        }
        bool into_bitmap = false;
        if (c == 31031) {
            if (state_.bitmap_may_start) {
                state_.bitmap_may_start = false;
                state_.defining_bitmap = true;
                state_.bitmap.clear();
                state_.bitmap_cursor = 0;
                state_.bitmap_anchor = *state_.data_end;
            }
            into_bitmap = state_.defining_bitmap;
        } else {
            state_.bitmap_may_start = false;
        }
        std::optional<double> first;
        ElementView view = ElementView::of(*def);
        if constexpr (Reader::kWantsCodeTables) view.with_table(lookups().code_table(c));
        CORVENA_TRY(reader_.element(view, first));
        state_.local_width.reset();
        if (into_bitmap) {
            if (first || Reader::kMissingBitmapEntryIsZero) state_.bitmap.push_back(bitmap_entry(first));
        } else {
            state_.history.push_back(def);
        }
        return charge(before);
    }

    Status op(std::uint32_t c, unsigned x, std::uint8_t y) {
        switch (operator_class(x, y)) {
        case OperatorClass::Setting:
            apply_operator_setting(x, y, state_);
            return budget_.free_step();
        case OperatorClass::NewReference:
            if (y == 0) state_.new_references.clear();
            else if (y == 255) state_.new_reference_width = 0;
            else state_.new_reference_width = y;
            return budget_.free_step();
        case OperatorClass::Characters: {
            const std::uint64_t before = reader_.position();
            CORVENA_TRY(reader_.characters(c, static_cast<std::uint16_t>(8u * y)));
            return charge(before);
        }
        case OperatorClass::Item: {
            CORVENA_TRY(reader_.operator_item(c));
            const bool opens_block = y == 0 && (x == 22 || x == 23 || x == 24 || x == 25 || x == 32);
            if ((opens_block || (x == 36 && y == 0)) && !state_.data_end) state_.data_end = state_.history.size();
            apply_bitmap_change(x, y, state_);
            state_.bitmap_may_start = opens_block;
            return budget_.free_step();
        }
        case OperatorClass::BitmapValue: {
            auto target = next_bitmap_target(state_, x == 25);
            if (!target) return std::move(target).error();
            if (!*target) return budget_.free_step();
            const std::uint64_t before = reader_.position();
            std::optional<double> first;
            CORVENA_TRY(reader_.element(**target, first));
            reader_.bitmap_value();
            return charge(before);
        }
        case OperatorClass::None:
            return budget_.free_step();
        }
        return success();
    }

    LookupCache& lookups() {
        if (!lookups_) lookups_ = LookupCache::lease(tables_);
        return *lookups_;
    }

    const TableSet& tables_;
    Reader& reader_;
    DecodeState& state_;
    DecodeBudget& budget_;
    LookupCache::Lease lookups_;  // taken on first use
};

}  // namespace corvena
