// The library's single error type and the result type every fallible core
// operation returns. Nothing here throws; an error travels as a value until
// the Python boundary turns it into an exception.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace corvena {

enum class ErrorKind : std::uint8_t {
    MessageTooShort,
    MissingMarker,
    UnsupportedEdition,
    LengthMismatch,
    TruncatedSection,
    BadEndMarker,
    OddDescriptorArea,
    SequenceNotFound,
    IncompleteDelayedReplication,
    UnsupportedReplication,
    ElementNotFound,
    TableParse,
    Io,
};

// An operating-system failure (or a plain I/O failure without a system
// code, such as text that is not UTF-8). `os_code` is 0 when there is none.
struct IoFailure {
    int os_code = 0;
    std::string description;

    static IoFailure from_errno(int code);
    static IoFailure plain(std::string text);
    // "No such file or directory (os error 2)", or the plain description.
    std::string text() const;
};

// A descriptor code as error texts write it: six digits, "012101".
std::string padded_code(std::uint64_t code);

class BufrError {
public:
    static BufrError message_too_short();
    static BufrError missing_marker();
    static BufrError unsupported_edition(std::uint8_t edition);
    static BufrError length_mismatch(std::uint64_t declared, std::uint64_t actual);
    static BufrError truncated_section(std::uint64_t offset, std::uint8_t section);
    static BufrError bad_end_marker();
    static BufrError odd_descriptor_area();
    static BufrError sequence_not_found(std::uint32_t code);
    static BufrError incomplete_delayed_replication(std::uint32_t code);
    static BufrError unsupported_replication(std::uint32_t code);
    static BufrError element_not_found(std::uint32_t code);
    static BufrError table_parse(std::string message);
    // TableParse "invalid descriptor {:06}": an F above 3.
    static BufrError invalid_descriptor(std::uint32_t code);
    static BufrError io(IoFailure failure);

    ErrorKind kind() const { return kind_; }
    // The TableParse message without its prefix; empty for other kinds.
    const std::string& message() const { return message_; }
    // The display text of the error, slots filled.
    std::string text() const;

private:
    explicit BufrError(ErrorKind kind) : kind_(kind) {}

    ErrorKind kind_;
    std::uint64_t first_ = 0;   // edition, declared, offset or code
    std::uint64_t second_ = 0;  // actual or section
    int os_code_ = 0;
    std::string message_;
};

// A value of T or one BufrError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }
    Result(BufrError error) : ok_(false) { new (&error_) BufrError(std::move(error)); }
    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
        if (ok_) new (&value_) T(std::move(other.value_));
        else new (&error_) BufrError(std::move(other.error_));
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) value_.~T();
        else error_.~BufrError();
    }

    explicit operator bool() const { return ok_; }
    bool ok() const { return ok_; }
    T& value() & { return value_; }
    const T& value() const& { return value_; }
    T&& value() && { return std::move(value_); }
    T& operator*() & { return value_; }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }
    BufrError& error() & { return error_; }
    BufrError&& error() && { return std::move(error_); }

private:
    bool ok_;
    union {
        T value_;
        BufrError error_;
    };
};

struct Ok {};
using Status = Result<Ok>;

inline Status success() { return Status(Ok{}); }

}  // namespace corvena

// Returns the error of a failed Result from the enclosing function.
#define CORVENA_TRY(expr)                                  \
    do {                                                   \
        auto corvena_try_result_ = (expr);                 \
        if (!corvena_try_result_) return std::move(corvena_try_result_).error(); \
    } while (0)
