#pragma once
// What the fuzz targets share: an exact-size copy of the input (so a read one
// byte past the end is a heap overflow the address sanitizer reports), a
// scratch directory that lives as long as the process, whole-file writes, and
// structural JSON equality. A failed property ends the process through
// fuzz_check, which libFuzzer reports as a crash with the input that caused it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tessello::fuzz {

// Aborts with the failed property's text when ok is false.
inline void fuzz_check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

// The input in a heap block of exactly its size.
class ExactCopy {
public:
    ExactCopy(const std::uint8_t* data, std::size_t size)
        : bytes_(std::make_unique<std::uint8_t[]>(size)), size_(size) {
        if (size > 0) std::copy(data, data + size, bytes_.get());
    }
    std::span<const std::uint8_t> bytes() const { return {bytes_.get(), size_}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_;
};

// A fresh directory under the system's temporary folder, made on first use
// and removed when the process exits normally. One process runs one input at
// a time, so each target may reuse fixed file names in it.
const std::filesystem::path& scratch_dir();

// Writes bytes to a new file at path, in place of any old one. Aborts when that fails: the
// machine, not the input, is at fault then.
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Same kinds and same values: floats by their bits, so -0.0 differs from 0.0.
bool same_json(const JsonValue& a, const JsonValue& b);

}  // namespace tessello::fuzz
