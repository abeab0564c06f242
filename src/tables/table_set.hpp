// BUFR tables in memory: Table B elements, Table D sequences and code/flag
// tables, keyed by descriptor code. A set is never changed once a loader has
// handed it out.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvena {

// How the bits of an element are read, from its unit and type. The change
// of width, scale and reference operators (2-01, 2-02, 2-07) leave code and
// flag table elements alone, and character data has widths of its own.
// A Local element is one that no table knows, read after 2-06-YYY as a
// plain number.
enum class ElementKind : std::uint8_t { Numeric, CodeOrFlag, Character, Local };

struct ElementDefinition {
    std::string abbreviation;
    std::string element_type;
    std::string name;
    std::string unit;
    std::int64_t reference = 0;
    std::uint32_t code = 0;
    std::int32_t scale = 0;
    std::uint16_t width = 0;
    // Derived when the element is stored in a TableSet.
    ElementKind kind = ElementKind::Numeric;
};

// Character data has the unit "CCITT IA5". Code and flag tables are told
// by their unit ("CODE TABLE", "FLAG TABLE" in ecCodes tables, "Code
// table", "Flag table" in the WMO CSV tables, compared without case) or by
// their type ("table", "flag" in ecCodes tables, "code", "flags" in the
// WMO CSV tables).
ElementKind element_kind(const ElementDefinition& def);

struct SequenceDefinition {
    std::vector<std::uint32_t> members;
    std::uint32_t code = 0;
};

using CodeTable = std::unordered_map<std::uint64_t, std::string>;

class TableSet {
public:
    const ElementDefinition* find_element(std::uint32_t code) const {
        auto it = elements_.find(code);
        return it == elements_.end() ? nullptr : &it->second;
    }
    const SequenceDefinition* find_sequence(std::uint32_t code) const {
        auto it = sequences_.find(code);
        return it == sequences_.end() ? nullptr : &it->second;
    }
    const std::string* find_meaning(std::uint32_t code, std::uint64_t raw) const {
        if (code_tables_.empty()) return nullptr;
        auto it = code_tables_.find(code);
        if (it == code_tables_.end() || it->second.empty()) return nullptr;
        auto hit = it->second.find(raw);
        return hit == it->second.end() ? nullptr : &hit->second;
    }
    // Whether `code` has a non-empty code table.
    const CodeTable* find_code_table(std::uint32_t code) const {
        auto it = code_tables_.find(code);
        return it == code_tables_.end() || it->second.empty() ? nullptr : &it->second;
    }

    // Storing replaces whatever was stored under the code before.
    void store_element(ElementDefinition element) {
        const std::uint32_t code = element.code;
        element.kind = element_kind(element);
        elements_.insert_or_assign(code, std::move(element));
    }
    void store_sequence(SequenceDefinition sequence) {
        const std::uint32_t code = sequence.code;
        sequences_.insert_or_assign(code, std::move(sequence));
    }
    void store_code_table(std::uint32_t code, CodeTable table) {
        code_tables_.insert_or_assign(code, std::move(table));
    }

    std::size_t element_count() const { return elements_.size(); }
    std::size_t sequence_count() const { return sequences_.size(); }
    std::size_t code_table_count() const { return code_tables_.size(); }

private:
    std::unordered_map<std::uint32_t, ElementDefinition> elements_;
    std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
    std::unordered_map<std::uint32_t, CodeTable> code_tables_;
};

}  // namespace corvena
