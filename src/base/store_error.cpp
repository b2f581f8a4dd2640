#include "base/store_error.h"

#include <cstring>

namespace tessello {

StoreError StoreError::io_errno(int err) {
    std::string text = os_error_description(err);
    text += " (os error ";
    text += std::to_string(err);
    text += ')';
    return StoreError(Io, std::move(text), 0, 0);
}

StoreError StoreError::io_message(std::string message) {
    return StoreError(Io, std::move(message), 0, 0);
}

StoreError StoreError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
    return StoreError(DimensionMismatch, {}, expected, got);
}

StoreError StoreError::dimensions_too_large(std::uint64_t maximum, std::uint64_t got) {
    return StoreError(DimensionsTooLarge, {}, maximum, got);
}

StoreError StoreError::invalid_dimensions(std::uint64_t expected, std::uint64_t got) {
    return StoreError(InvalidDimensions, {}, expected, got);
}

StoreError StoreError::text(Kind kind, std::string text) {
    return StoreError(kind, std::move(text), 0, 0);
}

std::string StoreError::message() const {
    std::string out;
    fmt_store_error(*this, out);
    return out;
}

namespace {

void two_numbers(std::string& sink, const char* head, const char* mid, std::uint64_t a,
                 std::uint64_t b) {
    sink += head;
    sink += std::to_string(a);
    sink += mid;
    sink += std::to_string(b);
}

const char* text_prefix(StoreError::Kind kind) {
    switch (kind) {
        case StoreError::Io: return "I/O error: ";
        case StoreError::Database: return "Database error: ";
        case StoreError::InvalidInput: return "Invalid input: ";
        case StoreError::InvalidFormat: return "Invalid format: ";
        case StoreError::Deserialization: return "Deserialization error: ";
        case StoreError::RecordNotFound: return "Record not found: ";
        case StoreError::CollectionNotFound: return "Collection not found: ";
        case StoreError::CollectionExists: return "Collection already exists: ";
        case StoreError::Corruption: return "Data corruption: ";
        case StoreError::Serialization: return "Serialization error: ";
        case StoreError::Transaction: return "Transaction error: ";
        case StoreError::Lock: return "Lock error: ";
        default: return "";
    }
}

}  // namespace

void fmt_store_error(const StoreError& e, std::string& sink) {
    switch (e.kind()) {
        case StoreError::DimensionMismatch:
            two_numbers(sink, "Dimension mismatch: expected ", ", got ", e.first(), e.second());
            return;
        case StoreError::DimensionsTooLarge:
            two_numbers(sink, "Dimensions too large: maximum is ", ", got ", e.first(), e.second());
            return;
        case StoreError::InvalidDimensions:
            two_numbers(sink, "Invalid dimensions: expected ", ", got ", e.first(), e.second());
            return;
        default:
            sink += text_prefix(e.kind());
            sink += e.payload();
            return;
    }
}

std::string os_error_description(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string(text);
}

}  // namespace tessello
