#pragma once
// A whole file read into memory and written back, for tests that damage
// stored files or compare them byte for byte. A file that cannot be opened
// reads as empty, which the comparison that follows reports.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tessello::testing {

using FileBytes = std::vector<std::uint8_t>;

inline FileBytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return FileBytes(std::istreambuf_iterator<char>(in), {});
}

// Replaces the file's contents (creating it) with the bytes.
inline void write_file(const std::filesystem::path& path, const FileBytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tessello::testing
