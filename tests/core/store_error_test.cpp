#include "base/store_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace tessello {
namespace {

struct MessageCase {
    StoreError error;
    const char* expected;
};

TEST(StoreErrorTest, EveryKindFillsItsTemplate) {
    const MessageCase cases[] = {
        {StoreError::io_message("memory map length overflows isize"),
         "I/O error: memory map length overflows isize"},
        {StoreError::text(StoreError::Database, "Database already open. Cannot acquire lock."),
         "Database error: Database already open. Cannot acquire lock."},
        {StoreError::dimension_mismatch(128, 3), "Dimension mismatch: expected 128, got 3"},
        {StoreError::dimensions_too_large(65536, 70000),
         "Dimensions too large: maximum is 65536, got 70000"},
        {StoreError::invalid_dimensions(4, 18446744073709551615ull),
         "Invalid dimensions: expected 4, got 18446744073709551615"},
        {StoreError::text(StoreError::InvalidInput, "x"), "Invalid input: x"},
        {StoreError::text(StoreError::InvalidFormat, "x"), "Invalid format: x"},
        {StoreError::text(StoreError::Deserialization, "x"), "Deserialization error: x"},
        {StoreError::text(StoreError::RecordNotFound, "Slot 7 not allocated"),
         "Record not found: Slot 7 not allocated"},
        {StoreError::text(StoreError::CollectionNotFound, "x"), "Collection not found: x"},
        {StoreError::text(StoreError::CollectionExists, "x"), "Collection already exists: x"},
        {StoreError::text(StoreError::Corruption, "x"), "Data corruption: x"},
        {StoreError::text(StoreError::Serialization, "x"), "Serialization error: x"},
        {StoreError::text(StoreError::Transaction, "x"), "Transaction error: x"},
        {StoreError::text(StoreError::Lock, "x"), "Lock error: x"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.expected);
}

TEST(StoreErrorTest, OsErrorCarriesDescriptionAndNumber) {
    StoreError e = StoreError::io_errno(ENOENT);
    EXPECT_EQ(e.kind(), StoreError::Io);
    EXPECT_EQ(e.message(), std::string("I/O error: ") + std::strerror(ENOENT) + " (os error 2)");
}

TEST(StoreErrorTest, FormattingAppendsToSink) {
    std::string sink = "> ";
    fmt_store_error(StoreError::dimension_mismatch(8, 4), sink);
    EXPECT_EQ(sink, "> Dimension mismatch: expected 8, got 4");
}

}  // namespace
}  // namespace tessello
