// Streaming reader of delimited text tables (the WMO CSV files and the
// ecCodes element.table), record by record, with positioned error texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace corvena {

struct Dialect {
    char delimiter;
    bool has_header;        // the first record is read, counted and discarded
    bool hash_comments;     // a line starting with '#' is skipped
};

constexpr Dialect kWmoCsv{',', true, false};
constexpr Dialect kElementTable{'|', false, true};

class RecordReader {
public:
    RecordReader() = default;
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;
    ~RecordReader();

    // Failures carry the operating system's text as a TableParse message.
    // A file is read up to kMaxTableFileBytes (common/fs.hpp).
    Status open(const std::string& path, Dialect dialect);

    // Reads the next data record into `fields`. Returns false at the end.
    Result<bool> next(std::vector<std::string>& fields);

private:
    enum class Raw { Record, End };
    Result<Raw> read_raw(std::vector<std::string>& fields);
    int get();        // next byte or -1 at end; sets read_errno_ on failure
    int peek();
    Status fill();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::uint64_t read_ = 0;     // bytes read from the file so far
    Dialect dialect_{',', false, false};
    std::vector<unsigned char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    int read_errno_ = 0;
    std::string read_error_;
    bool started_ = false;

    std::uint64_t byte_ = 0;     // offset of the next byte
    std::uint64_t line_ = 1;     // line of the next byte
    std::uint64_t record_ = 0;   // records read so far
    long expected_fields_ = -1;
    std::uint64_t record_start_byte_ = 0;
    std::uint64_t record_start_line_ = 1;
};

}  // namespace corvena
