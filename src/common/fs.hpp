// File-system access for the table loaders and the message file readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace corvena {

// Table files are read up to this size: the largest real ones (Table D of
// the WMO, ecCodes' element.table) are below 400 KB, and a device or an
// endless stream named as a table must not be read without end.
constexpr std::uint64_t kMaxTableFileBytes = std::uint64_t{16} << 20;
// TableParse "table file {path} is larger than 16 MiB".
BufrError table_file_too_large(const std::string& path);

// Reads a whole file. Failures are the operating system's.
Result<std::string> read_whole_file(const std::string& path, IoFailure& failure_out);

// Reads a whole table file that must be UTF-8 text; failures are kind Io,
// and table_file_too_large past kMaxTableFileBytes.
Result<std::string> read_text_file(const std::string& path);

std::string join_path(const std::string& dir, const std::string& name);

// Whether the path's status can be queried (following symbolic links).
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);

// The entries of `dir` whose names start with `prefix` and end with
// `suffix`, sorted by name bytes, as joined paths. Failures are kind Io.
Result<std::vector<std::string>> list_dir_matching(const std::string& dir, const std::string& prefix,
                                                   const std::string& suffix);

// The file name of a path and its stem (the name without its last extension).
std::string file_name(const std::string& path);
std::string file_stem(const std::string& name);

// The parent directory of a path; false when there is none.
bool parent_path(const std::string& path, std::string& parent);

}  // namespace corvena
