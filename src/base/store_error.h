#pragma once
// StoreError: the one error type of the core. Every fallible operation returns
// Result<T>; nothing throws. Each kind has one message template, and message()
// / fmt_store_error is the only text form an error has.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tessello {

class StoreError {
public:
    // Declaration order is the variant order.
    enum Kind : std::uint8_t {
        Io,
        Database,
        DimensionMismatch,
        DimensionsTooLarge,
        InvalidDimensions,
        InvalidInput,
        InvalidFormat,
        Deserialization,
        RecordNotFound,
        CollectionNotFound,
        CollectionExists,
        Corruption,
        Serialization,
        Transaction,
        Lock,
    };

    // An I/O error reported by the operating system: "{description} (os error {n})".
    static StoreError io_errno(int err);
    // An I/O error made with a message of its own.
    static StoreError io_message(std::string message);
    static StoreError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
    static StoreError dimensions_too_large(std::uint64_t maximum, std::uint64_t got);
    static StoreError invalid_dimensions(std::uint64_t expected, std::uint64_t got);
    // Any of the kinds whose payload is a text (everything but Io and the
    // three numeric kinds).
    static StoreError text(Kind kind, std::string text);

    Kind kind() const { return kind_; }
    // The text payload (for Io: the I/O error's own text); empty for numeric kinds.
    const std::string& payload() const { return text_; }
    std::uint64_t first() const { return a_; }
    std::uint64_t second() const { return b_; }

    std::string message() const;

private:
    StoreError(Kind kind, std::string text, std::uint64_t a, std::uint64_t b)
        : kind_(kind), text_(std::move(text)), a_(a), b_(b) {}

    Kind kind_;
    std::string text_;
    std::uint64_t a_ = 0;
    std::uint64_t b_ = 0;
};

// Appends the error's message (its template filled with the payload) to sink.
void fmt_store_error(const StoreError& error, std::string& sink);

// The C library's description of an error number, as strerror_r gives it.
std::string os_error_description(int err);

// A value or the error that kept it from being made. Marked so that the
// compiler warns when a caller drops one unlooked-at; a deliberate drop is
// written (void)call().
template <class T>
class [[nodiscard]] Result : public std::expected<T, StoreError> {
public:
    using std::expected<T, StoreError>::expected;
};

// Success, or the error of an operation that gives no value.
class [[nodiscard]] Status : public std::expected<void, StoreError> {
public:
    using std::expected<void, StoreError>::expected;
};

inline std::unexpected<StoreError> fail(StoreError error) {
    return std::unexpected<StoreError>(std::move(error));
}
inline std::unexpected<StoreError> fail(StoreError::Kind kind, std::string text) {
    return std::unexpected<StoreError>(StoreError::text(kind, std::move(text)));
}
inline std::unexpected<StoreError> fail_errno(int err) {
    return std::unexpected<StoreError>(StoreError::io_errno(err));
}

}  // namespace tessello
