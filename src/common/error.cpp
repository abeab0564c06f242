#include "common/error.hpp"

#include <cstdio>
#include <cstring>

namespace corvena {

std::string padded_code(std::uint64_t code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%06llu", static_cast<unsigned long long>(code));
    return buf;
}

IoFailure IoFailure::from_errno(int code) {
    IoFailure failure;
    failure.os_code = code;
    failure.description = std::strerror(code);
    return failure;
}

IoFailure IoFailure::plain(std::string text) {
    IoFailure failure;
    failure.description = std::move(text);
    return failure;
}

std::string IoFailure::text() const {
    if (os_code == 0) return description;
    return description + " (os error " + std::to_string(os_code) + ")";
}

BufrError BufrError::message_too_short() { return BufrError(ErrorKind::MessageTooShort); }
BufrError BufrError::missing_marker() { return BufrError(ErrorKind::MissingMarker); }

BufrError BufrError::unsupported_edition(std::uint8_t edition) {
    BufrError e(ErrorKind::UnsupportedEdition);
    e.first_ = edition;
    return e;
}

BufrError BufrError::length_mismatch(std::uint64_t declared, std::uint64_t actual) {
    BufrError e(ErrorKind::LengthMismatch);
    e.first_ = declared;
    e.second_ = actual;
    return e;
}

BufrError BufrError::truncated_section(std::uint64_t offset, std::uint8_t section) {
    BufrError e(ErrorKind::TruncatedSection);
    e.first_ = offset;
    e.second_ = section;
    return e;
}

BufrError BufrError::bad_end_marker() { return BufrError(ErrorKind::BadEndMarker); }
BufrError BufrError::odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }

BufrError BufrError::sequence_not_found(std::uint32_t code) {
    BufrError e(ErrorKind::SequenceNotFound);
    e.first_ = code;
    return e;
}

BufrError BufrError::incomplete_delayed_replication(std::uint32_t code) {
    BufrError e(ErrorKind::IncompleteDelayedReplication);
    e.first_ = code;
    return e;
}

BufrError BufrError::unsupported_replication(std::uint32_t code) {
    BufrError e(ErrorKind::UnsupportedReplication);
    e.first_ = code;
    return e;
}

BufrError BufrError::element_not_found(std::uint32_t code) {
    BufrError e(ErrorKind::ElementNotFound);
    e.first_ = code;
    return e;
}

BufrError BufrError::table_parse(std::string message) {
    BufrError e(ErrorKind::TableParse);
    e.message_ = std::move(message);
    return e;
}

BufrError BufrError::invalid_descriptor(std::uint32_t code) {
    return table_parse("invalid descriptor " + padded_code(code));
}

BufrError BufrError::io(IoFailure failure) {
    BufrError e(ErrorKind::Io);
    e.os_code_ = failure.os_code;
    e.message_ = std::move(failure.description);
    return e;
}

std::string BufrError::text() const {
    switch (kind_) {
    case ErrorKind::MessageTooShort:
        return "message is too short to be BUFR";
    case ErrorKind::MissingMarker:
        return "missing BUFR marker";
    case ErrorKind::UnsupportedEdition:
        return "unsupported BUFR edition " + std::to_string(first_) +
               "; only edition 4 is implemented";
    case ErrorKind::LengthMismatch:
        return "declared length " + std::to_string(first_) + " does not match buffer length " +
               std::to_string(second_);
    case ErrorKind::TruncatedSection:
        return "section " + std::to_string(second_) + " at offset " + std::to_string(first_) +
               " is truncated";
    case ErrorKind::BadEndMarker:
        return "section 5 terminator is not 7777";
    case ErrorKind::OddDescriptorArea:
        return "section 3 descriptor area has odd byte count";
    case ErrorKind::SequenceNotFound:
        return "descriptor " + padded_code(first_) + " was not found in Table D";
    case ErrorKind::IncompleteDelayedReplication:
        return "delayed replication descriptor " + padded_code(first_) +
               " is missing its replication factor or replicated descriptors";
    case ErrorKind::UnsupportedReplication:
        return "unsupported replication descriptor " + padded_code(first_);
    case ErrorKind::ElementNotFound:
        return "descriptor " + padded_code(first_) + " was not found in Table B";
    case ErrorKind::TableParse:
        return "csv/table parse error: " + message_;
    case ErrorKind::Io: {
        IoFailure failure;
        failure.os_code = os_code_;
        failure.description = message_;
        return "io error: " + failure.text();
    }
    }
    return "unknown error";
}

}  // namespace corvena
