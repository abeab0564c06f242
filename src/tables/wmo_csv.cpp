#include "tables/wmo_csv.hpp"

#include <unordered_map>
#include <vector>

#include "common/fs.hpp"
#include "tables/int_parse.hpp"
#include "tables/record_reader.hpp"

namespace corvena {

namespace {

std::string element_type_of(const std::string& unit) {
    if (unit == "Code table") return "code";
    if (unit == "Flag table") return "flags";
    if (unit == "CCITT IA5") return "string";
    return "long";
}

Status load_table_b(const std::string& file, TableSet& tables) {
    RecordReader reader;
    CORVENA_TRY(reader.open(file, kWmoCsv));
    std::vector<std::string> fields;
    for (;;) {
        auto more = reader.next(fields);
        if (!more) return std::move(more).error();
        if (!*more) return success();
        if (fields.size() < 8) continue;
        auto code = parse_descriptor_code(fields[2]);
        if (!code) return std::move(code).error();
        ElementDefinition e;
        e.code = *code;
        e.element_type = element_type_of(fields[4]);
        e.name = std::move(fields[3]);
        e.unit = std::move(fields[4]);
        auto scale = parse_i32_field(fields[5]);
        if (!scale) return std::move(scale).error();
        auto reference = parse_i64_field(fields[6]);
        if (!reference) return std::move(reference).error();
        auto width = parse_u16_field(fields[7]);
        if (!width) return std::move(width).error();
        e.scale = *scale;
        e.reference = *reference;
        e.width = *width;
        tables.store_element(std::move(e));
    }
}

Status load_table_d(const std::string& file, TableSet& tables) {
    RecordReader reader;
    CORVENA_TRY(reader.open(file, kWmoCsv));
    std::vector<std::string> fields;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> sequences;
    std::vector<std::uint32_t> order;
    for (;;) {
        auto more = reader.next(fields);
        if (!more) return std::move(more).error();
        if (!*more) break;
        if (fields.size() < 6) continue;
        auto code = parse_descriptor_code(fields[2]);
        if (!code) return std::move(code).error();
        auto member = parse_descriptor_code(fields[5]);
        if (!member) return std::move(member).error();
        auto [it, inserted] = sequences.try_emplace(*code);
        if (inserted) order.push_back(*code);
        it->second.push_back(*member);
    }
    for (std::uint32_t code : order) {
        SequenceDefinition seq;
        seq.code = code;
        seq.members = std::move(sequences[code]);
        tables.store_sequence(std::move(seq));
    }
    return success();
}

}  // namespace

Result<TableSet> load_wmo_csv_dir(const std::string& path) {
    TableSet tables;
    auto b_files = list_dir_matching(path, "BUFRCREX_TableB_en_", ".csv");
    if (!b_files) return std::move(b_files).error();
    for (const auto& file : *b_files) CORVENA_TRY(load_table_b(file, tables));
    auto d_files = list_dir_matching(path, "BUFR_TableD_en_", ".csv");
    if (!d_files) return std::move(d_files).error();
    for (const auto& file : *d_files) CORVENA_TRY(load_table_d(file, tables));
    return tables;
}

}  // namespace corvena
