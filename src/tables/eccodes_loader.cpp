#include "tables/eccodes_loader.hpp"

#include <vector>

#include "common/quote.hpp"
#include "common/fs.hpp"
#include "tables/int_parse.hpp"
#include "tables/record_reader.hpp"

namespace corvena {

namespace {

// Calls f(line) for each line; a CR before the LF belongs to the line end.
template <class F>
Status for_each_line(std::string_view text, F&& f) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (nl == std::string_view::npos && line.empty()) break;
        CORVENA_TRY(f(line));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return success();
}

Status parse_statement(const std::string& statement, TableSet& tables) {
    const std::size_t eq = statement.find('=');
    if (eq == std::string::npos) return success();
    std::string_view key = trim_ws(std::string_view(statement).substr(0, eq));
    while (!key.empty() && key.front() == '"') key.remove_prefix(1);
    while (!key.empty() && key.back() == '"') key.remove_suffix(1);
    auto code = parse_descriptor_code(key);
    if (!code) return std::move(code).error();

    std::string_view rest = std::string_view(statement).substr(eq + 1);
    const std::size_t open = rest.find('[');
    const std::size_t close = rest.find(']');
    if (open == std::string_view::npos || close == std::string_view::npos) {
        return BufrError::table_parse(statement);
    }
    if (close < open) {
        return BufrError::table_parse("sequence member list closes before it opens: " + statement);
    }
    SequenceDefinition seq;
    seq.code = *code;
    std::string_view list = rest.substr(open + 1, close - open - 1);
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::size_t end = comma == std::string_view::npos ? list.size() : comma;
        std::string_view piece = trim_ws(list.substr(start, end - start));
        if (!piece.empty()) {
            auto member = parse_descriptor_code(piece);
            if (!member) return std::move(member).error();
            seq.members.push_back(*member);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    tables.store_sequence(std::move(seq));
    return success();
}

}  // namespace

Result<TableSet> load_eccodes_dir(const std::string& path) {
    TableSet tables;
    CORVENA_TRY(load_element_table(join_path(path, "element.table"), tables));
    CORVENA_TRY(load_sequence_def(join_path(path, "sequence.def"), tables));
    const std::string codetables = join_path(path, "codetables");
    if (path_exists(codetables)) CORVENA_TRY(load_code_tables(codetables, tables));
    return tables;
}

Status load_element_table(const std::string& file, TableSet& tables) {
    RecordReader reader;
    CORVENA_TRY(reader.open(file, kElementTable));
    std::vector<std::string> fields;
    for (;;) {
        auto more = reader.next(fields);
        if (!more) return std::move(more).error();
        if (!*more) break;
        if (fields.size() < 8) continue;
        auto code = parse_descriptor_code(fields[0]);
        if (!code) return std::move(code).error();
        ElementDefinition e;
        e.code = *code;
        e.abbreviation = std::move(fields[1]);
        e.element_type = std::move(fields[2]);
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
    return success();
}

Status parse_sequence_text(std::string_view text, TableSet& tables) {
    std::string pending;
    return for_each_line(text, [&](std::string_view raw) -> Status {
        std::string_view line = trim_ws(raw);
        if (line.empty() || line.front() == '#') return success();
        if (!pending.empty()) pending += ' ';
        pending.append(line);
        if (pending.find(']') == std::string::npos) return success();
        std::string statement = std::move(pending);
        pending.clear();
        return parse_statement(statement, tables);
    });
}

Status load_sequence_def(const std::string& file, TableSet& tables) {
    auto text = read_text_file(file);
    if (!text) return std::move(text).error();
    return parse_sequence_text(*text, tables);
}

Status load_code_tables(const std::string& dir, TableSet& tables) {
    auto paths = list_dir_matching(dir, "", ".table");
    if (!paths) return std::move(paths).error();
    for (const std::string& path : *paths) {
        const std::string stem = file_stem(file_name(path));
        if (stem.empty() || valid_utf8_prefix(stem) != stem.size()) continue;
        // Only CODE.table files are tables; anything else that ends in
        // ".table" (a readme.table, a backup) is not ours to judge.
        auto code = parse_descriptor_code(stem);
        if (!code) continue;
        auto text = read_text_file(path);
        if (!text) return std::move(text).error();
        CodeTable table;
        Status s = for_each_line(*text, [&](std::string_view raw) -> Status {
            std::string_view line = trim_ws(raw);
            if (line.empty() || line.front() == '#') return success();
            std::string_view tokens[2];
            std::string meaning;
            std::size_t count = 0;
            for_each_token(line, [&](std::string_view token) {
                if (count < 2) tokens[count] = token;
                else {
                    if (!meaning.empty()) meaning += ' ';
                    meaning.append(token);
                }
                ++count;
            });
            if (count < 3) return success();
            std::uint64_t value = 0;
            IntFailure f = parse_u64(tokens[0], UINT64_MAX, value);
            if (f != IntFailure::None) {
                return BufrError::table_parse("bad code table key " + quote_text(tokens[0]) + ": " +
                                              int_failure_text(f));
            }
            table.insert_or_assign(value, std::move(meaning));
            return success();
        });
        CORVENA_TRY(std::move(s));
        tables.store_code_table(*code, std::move(table));
    }
    return success();
}

}  // namespace corvena
