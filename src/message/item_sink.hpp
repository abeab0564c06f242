// The sink that keeps decoded items as DecodedValue records (the items
// that _corvena hands to Python one object each).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/descriptor.hpp"
#include "message/readers.hpp"
#include "message/value.hpp"

namespace corvena {

class ItemSink {
public:
    struct SharedText {
        bool present;
        std::uint32_t offset;
        std::uint32_t length;
    };

    static constexpr bool kWantsMeanings = true;

    explicit ItemSink(DecodedValues& out) : out_(out) {}

    void numeric_column(const NumericColumn& col) {
        for (unsigned s = 0; s < col.subsets; ++s) {
            DecodedValue& v = out_.items.emplace_back();
            v.descriptor = col.code;
            v.name = col.name;
            v.flags = DecodedValue::kHasRaw;
            if (col.missing(s)) {
                v.raw = col.base;
            } else {
                v.raw = col.base + col.increments[s];
                v.raw_value = scaled_value(col.reference, v.raw, col.scale);
                v.flags |= DecodedValue::kHasValue;
            }
            v.meaning = col.meaning(v.raw);
        }
    }

    void begin_subset() { out_.subset_starts.push_back(out_.items.size()); }
    void begin_column(std::uint64_t) { ++out_.columns; }
    void reserve(std::uint64_t items) { out_.items.reserve(items); }

    void numeric(std::uint32_t code, const std::string* name, std::uint64_t raw, bool present, double value,
                 const std::string* meaning) {
        // Filled where it lies: a copy from the stack costs a
        // store-forwarding stall per item.
        DecodedValue& v = out_.items.emplace_back();
        v.descriptor = code;
        v.name = name;
        v.meaning = meaning;
        v.raw = raw;
        v.raw_value = value;
        v.flags = present ? DecodedValue::kHasRaw | DecodedValue::kHasValue : DecodedValue::kHasRaw;
    }

    void text(std::uint32_t code, const std::string* name, double number, std::string_view octets) {
        DecodedValue& v = out_.items.emplace_back();
        v.descriptor = code;
        v.name = name;
        v.raw_value = number;
        v.flags = DecodedValue::kHasValue;
        const std::size_t start = out_.text_pool.size();
        if (text_from_octets(octets, out_.text_pool)) {
            v.flags |= DecodedValue::kHasText;
            v.text_offset = static_cast<std::uint32_t>(start);
            v.text_length = static_cast<std::uint32_t>(out_.text_pool.size() - start);
        }
    }

    SharedText share_text(std::string_view octets) {
        const std::size_t start = out_.text_pool.size();
        const bool present = text_from_octets(octets, out_.text_pool);
        return SharedText{present, static_cast<std::uint32_t>(start),
                          static_cast<std::uint32_t>(out_.text_pool.size() - start)};
    }

    void text_shared(std::uint32_t code, const std::string* name, double number, const SharedText& shared) {
        DecodedValue& v = out_.items.emplace_back();
        v.descriptor = code;
        v.name = name;
        v.raw_value = number;
        v.flags = DecodedValue::kHasValue;
        if (shared.present) {
            v.flags |= DecodedValue::kHasText;
            v.text_offset = shared.offset;
            v.text_length = shared.length;
        }
    }

    void op(std::uint32_t code) {
        DecodedValue& v = out_.items.emplace_back();
        v.descriptor = code;
        v.name = &operator_name();
        v.flags = DecodedValue::kHasValue | DecodedValue::kHasRaw;
    }

    void associated(std::uint64_t raw) {
        DecodedValue& v = out_.items.emplace_back();
        v.descriptor = kAssociatedFieldCode;
        v.name = &associated_field_name();
        v.raw = raw;
        v.raw_value = static_cast<double>(raw);
        v.flags = DecodedValue::kHasValue | DecodedValue::kHasRaw;
    }

    void mark_bitmap_value() {}
    void mark_rescaled() {}

private:
    DecodedValues& out_;
};

}  // namespace corvena
