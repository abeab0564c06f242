#include "tables/record_reader.hpp"

#include <cerrno>
#include <cstring>

#include "common/fs.hpp"
#include "common/quote.hpp"

namespace corvena {

namespace {
constexpr std::size_t kBufferSize = 1 << 16;
}

RecordReader::~RecordReader() {
    if (file_ != nullptr) std::fclose(file_);
}

Status RecordReader::open(const std::string& path, Dialect dialect) {
    dialect_ = dialect;
    path_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) return BufrError::table_parse(IoFailure::from_errno(errno).text());
    buffer_.resize(kBufferSize);
    return success();
}

Status RecordReader::fill() {
    if (eof_) return success();
    pos_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (end_ == 0) {
        if (std::ferror(file_)) {
            int code = errno != 0 ? errno : EIO;
            return BufrError::table_parse(IoFailure::from_errno(code).text());
        }
        eof_ = true;
    }
    read_ += end_;
    if (read_ > kMaxTableFileBytes) return table_file_too_large(path_);
    return success();
}

int RecordReader::peek() {
    if (pos_ >= end_) {
        auto s = fill();
        if (!s) {
            read_errno_ = 1;
            read_error_ = s.error().message();
            eof_ = true;
            end_ = 0;
            return -1;
        }
        if (pos_ >= end_) return -1;
    }
    return buffer_[pos_];
}

int RecordReader::get() {
    int c = peek();
    if (c < 0) return -1;
    ++pos_;
    ++byte_;
    return c;
}

Result<RecordReader::Raw> RecordReader::read_raw(std::vector<std::string>& fields) {
    if (!started_) {
        started_ = true;
        // A UTF-8 byte-order mark at the very start is skipped.
        if (peek() == 0xEF && pos_ + 2 < end_ && buffer_[pos_ + 1] == 0xBB && buffer_[pos_ + 2] == 0xBF) {
            pos_ += 3;
            byte_ += 3;
        }
    }
    fields.clear();
    // Skip empty lines and, where asked, comment lines.
    for (;;) {
        int c = peek();
        if (c < 0) {
            if (read_errno_ != 0) return BufrError::table_parse(read_error_);
            return Raw::End;
        }
        if (c == '\n') {
            get();
            ++line_;
            continue;
        }
        if (c == '\r') {
            get();
            if (peek() == '\n') get();
            ++line_;
            continue;
        }
        if (dialect_.hash_comments && c == '#') {
            while ((c = get()) >= 0 && c != '\n' && c != '\r') {
            }
            if (c == '\r' && peek() == '\n') get();
            if (c >= 0) ++line_;
            continue;
        }
        break;
    }

    record_start_byte_ = byte_;
    record_start_line_ = line_;
    std::string field;
    enum class State { FieldStart, Unquoted, Quoted, QuoteInQuoted };
    State state = State::FieldStart;
    for (;;) {
        int c = get();
        if (c < 0 && read_errno_ != 0) return BufrError::table_parse(read_error_);
        if (state == State::Quoted) {
            if (c < 0) {
                fields.push_back(std::move(field));
                return Raw::Record;
            }
            if (c == '"') state = State::QuoteInQuoted;
            else {
                if (c == '\n' || (c == '\r' && peek() != '\n')) ++line_;
                field.push_back(static_cast<char>(c));
            }
            continue;
        }
        if (state == State::QuoteInQuoted) {
            if (c == '"') {
                field.push_back('"');
                state = State::Quoted;
                continue;
            }
            state = State::Unquoted;  // text after the closing quote joins the field
        }
        if (c < 0) {
            fields.push_back(std::move(field));
            return Raw::Record;
        }
        if (c == '\n' || c == '\r') {
            if (c == '\r' && peek() == '\n') get();
            ++line_;
            fields.push_back(std::move(field));
            return Raw::Record;
        }
        if (c == dialect_.delimiter) {
            fields.push_back(std::move(field));
            field.clear();
            state = State::FieldStart;
            continue;
        }
        if (state == State::FieldStart && c == '"') {
            state = State::Quoted;
            continue;
        }
        state = State::Unquoted;
        field.push_back(static_cast<char>(c));
    }
}

Result<bool> RecordReader::next(std::vector<std::string>& fields) {
    for (;;) {
        const std::uint64_t read_byte = byte_;
        const std::uint64_t read_line = line_;
        const std::uint64_t read_record = record_;
        auto raw = read_raw(fields);
        if (!raw) return std::move(raw).error();
        if (*raw == Raw::End) return false;

        const std::uint64_t index = record_++;
        if (expected_fields_ < 0) {
            expected_fields_ = static_cast<long>(fields.size());
        } else if (static_cast<long>(fields.size()) != expected_fields_) {
            return BufrError::table_parse(
                "CSV error: record " + std::to_string(index) + " (line: " +
                std::to_string(record_start_line_) + ", byte: " + std::to_string(record_start_byte_) +
                "): found record with " + std::to_string(fields.size()) +
                " fields, but the previous record has " + std::to_string(expected_fields_) + " fields");
        }
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::size_t valid = valid_utf8_prefix(fields[f]);
            if (valid != fields[f].size()) {
                return BufrError::table_parse(
                    "CSV parse error: record " + std::to_string(read_record) + " (line " +
                    std::to_string(read_line) + ", field: " + std::to_string(f) + ", byte: " +
                    std::to_string(read_byte) + "): invalid utf-8: invalid UTF-8 in field " +
                    std::to_string(f) + " near byte index " + std::to_string(valid));
            }
        }
        if (index == 0 && dialect_.has_header) continue;
        return true;
    }
}

}  // namespace corvena
