#include "tables/table_set.hpp"

#include <cctype>
#include <string_view>

namespace corvena {

namespace {

bool starts_without_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

ElementKind element_kind(const ElementDefinition& def) {
    if (def.unit == "CCITT IA5") return ElementKind::Character;
    if (starts_without_case(def.unit, "code table") || starts_without_case(def.unit, "flag table")) {
        return ElementKind::CodeOrFlag;
    }
    const std::string& t = def.element_type;
    if (t == "table" || t == "flag" || t == "code" || t == "flags") return ElementKind::CodeOrFlag;
    return ElementKind::Numeric;
}

}  // namespace corvena
