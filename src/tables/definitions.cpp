#include "tables/definitions.hpp"

#include "common/quote.hpp"
#include "tables/eccodes_loader.hpp"
#include "common/fs.hpp"
#include "tables/int_parse.hpp"

namespace corvena {

namespace {

BufrError missing_dir(const std::string& path) {
    return BufrError::table_parse("ecCodes table directory does not exist: " + lossy_utf8(path));
}

std::string tables_root(const std::string& root, const TableRequest& m) {
    return join_path(join_path(join_path(root, "bufr"), "tables"), std::to_string(m.master_table_number));
}

}  // namespace

Result<std::string> resolve_table_dir(const std::string& start) {
    std::string path = start;
    for (int hop = 0;; ++hop) {
        if (is_directory(path)) return path;
        if (!is_regular_file(path)) return missing_dir(path);
        if (hop >= kMaxAliasHops) {
            return BufrError::table_parse("ecCodes table alias chain starting at " + lossy_utf8(start) +
                                          " is longer than " + std::to_string(kMaxAliasHops) +
                                          " links (a loop?)");
        }
        auto text = read_text_file(path);
        if (!text) return std::move(text).error();
        const std::string alias(trim_ws(*text));
        if (alias.empty() || alias.find('/') != std::string::npos || alias.find('\\') != std::string::npos) {
            return BufrError::table_parse("invalid ecCodes table alias " + lossy_utf8(path) + " -> " +
                                          quote_text(alias));
        }
        std::string parent;
        if (!parent_path(path, parent)) return missing_dir(path);
        path = join_path(parent, alias);
    }
}

std::string master_table_dir(const std::string& root, const TableRequest& m) {
    return join_path(join_path(tables_root(root, m), "wmo"), std::to_string(m.master_tables_version_number));
}

std::string local_table_dir(const std::string& root, const TableRequest& m) {
    std::string version = m.master_tables_version_number == 19
                              ? "19-" + std::to_string(m.local_tables_version_number)
                              : std::to_string(m.local_tables_version_number);
    std::string dir = join_path(join_path(tables_root(root, m), "local"), version);
    dir = join_path(dir, std::to_string(m.originating_centre));
    return join_path(dir, std::to_string(m.originating_subcentre));
}

Result<TableSet> load_definitions_tables(const std::string& root, const TableRequest& message) {
    auto master = resolve_table_dir(master_table_dir(root, message));
    if (!master) return std::move(master).error();
    auto tables = load_eccodes_dir(*master);
    if (!tables) return tables;
    if (message.local_tables_version_number == 0) return tables;

    const std::string local = local_table_dir(root, message);
    if (!path_exists(local)) return tables;
    const std::string element = join_path(local, "element.table");
    if (path_exists(element)) CORVENA_TRY(load_element_table(element, *tables));
    const std::string sequence = join_path(local, "sequence.def");
    if (path_exists(sequence)) CORVENA_TRY(load_sequence_def(sequence, *tables));
    const std::string codetables = join_path(local, "codetables");
    if (path_exists(codetables)) CORVENA_TRY(load_code_tables(codetables, *tables));
    return tables;
}

}  // namespace corvena
