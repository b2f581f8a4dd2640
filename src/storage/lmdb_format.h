#pragma once
// The on-disk layout of an LMDB data file, as liblmdb 0.9 on a 64-bit host
// writes it: the facts the file checker needs, read from byte buffers so that
// no structure of the file is ever trusted for its size or alignment.
//
// A file is an array of pages of one size. Pages 0 and 1 are meta pages; the
// meta with the larger transaction id is the current snapshot. Each meta holds
// two tree descriptors: the free-page tree (keys: transaction ids, values:
// lists of freed page numbers) and the main tree, whose entries describe the
// named tables. Every integer is in host byte order; page numbers and sizes of
// a 64-bit build are 8 bytes.
#include <cstdint>
#include <cstring>
#include <span>

namespace tessello::lmdb_format {

using Bytes = std::span<const std::uint8_t>;

template <class T>
T load(Bytes b, std::size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

inline constexpr std::uint64_t kInvalidPage = ~std::uint64_t{0};  // root of an empty tree
inline constexpr std::uint32_t kMagic = 0xBEEFC0DE;
inline constexpr std::uint32_t kDataVersion = 1;
inline constexpr std::uint32_t kMinPageSize = 512;
inline constexpr std::uint32_t kMaxPageSize = 0x8000;
inline constexpr std::uint64_t kMetaPages = 2;
inline constexpr unsigned kMaxDepth = 32;      // LMDB's cursor stack
inline constexpr unsigned kMaxKeySize = 511;   // LMDB never writes a longer key
inline constexpr unsigned kMinKeysPerPage = 2;  // fixes the largest node kept inline

// Page header: page number (8), pad (2), flags (2), then either the lower and
// upper bounds of the free gap (2 + 2) or, for an overflow page, its page
// count (4). The node offsets (2 bytes each) follow the header.
inline constexpr std::size_t kPageHeader = 16;
inline std::uint64_t page_number(Bytes p) { return load<std::uint64_t>(p, 0); }
inline std::uint16_t page_flags(Bytes p) { return load<std::uint16_t>(p, 10); }
inline std::uint16_t page_lower(Bytes p) { return load<std::uint16_t>(p, 12); }
inline std::uint16_t page_upper(Bytes p) { return load<std::uint16_t>(p, 14); }
inline std::uint32_t overflow_count(Bytes p) { return load<std::uint32_t>(p, 12); }
inline std::uint16_t node_offset(Bytes p, std::size_t i) { return load<std::uint16_t>(p, kPageHeader + 2 * i); }

inline constexpr std::uint16_t kBranch = 0x01;
inline constexpr std::uint16_t kLeaf = 0x02;
inline constexpr std::uint16_t kOverflow = 0x04;
inline constexpr std::uint16_t kMeta = 0x08;

// Node header: lo (2), hi (2), flags (2), key size (2), then the key and, on
// a leaf, the data (or the 8-byte first page of its overflow run). A leaf's
// data size is lo | hi << 16; a branch's child page is lo | hi << 16 | flags << 32.
inline constexpr std::size_t kNodeHeader = 8;
inline std::uint16_t node_flags(Bytes p, std::size_t at) { return load<std::uint16_t>(p, at + 4); }
inline std::uint16_t node_key_size(Bytes p, std::size_t at) { return load<std::uint16_t>(p, at + 6); }
inline std::uint32_t node_data_size(Bytes p, std::size_t at) {
    return std::uint32_t{load<std::uint16_t>(p, at)} | std::uint32_t{load<std::uint16_t>(p, at + 2)} << 16;
}
inline std::uint64_t node_child(Bytes p, std::size_t at) {
    return std::uint64_t{node_data_size(p, at)} | std::uint64_t{load<std::uint16_t>(p, at + 4)} << 32;
}

inline constexpr std::uint16_t kBigData = 0x01;  // data lies on overflow pages
inline constexpr std::uint16_t kSubData = 0x02;  // data is a table's tree descriptor
inline constexpr std::uint16_t kDupData = 0x04;

// Tree descriptor (48 bytes): pad (4; the page size in the free tree's copy
// in a meta), flags (2), depth (2), branch, leaf and overflow page counts,
// entry count, root page (8 each).
inline constexpr std::size_t kTreeSize = 48;
struct Tree {
    std::uint32_t pad;
    std::uint16_t flags;
    std::uint16_t depth;
    std::uint64_t root;
};
inline Tree tree_at(Bytes b, std::size_t at) {
    return Tree{load<std::uint32_t>(b, at), load<std::uint16_t>(b, at + 4), load<std::uint16_t>(b, at + 6),
                load<std::uint64_t>(b, at + 40)};
}
// Key-order and layout flags of a tree; the free tree's copy in a meta also
// carries environment flags in the bits above them.
inline constexpr std::uint16_t kTreeLayoutFlags = 0x7e;
inline constexpr std::uint16_t kIntegerKey = 0x08;

// Meta page: the page header, then magic (4), version (4), fixed map address
// (8), map size (8), free tree (48), main tree (48), last page number (8),
// transaction id (8). LMDB reads this many bytes of each meta page.
inline constexpr std::size_t kMetaOffset = kPageHeader;
inline constexpr std::size_t kMetaEnd = kMetaOffset + 136;
inline std::uint32_t meta_magic(Bytes p) { return load<std::uint32_t>(p, kMetaOffset); }
inline std::uint32_t meta_version(Bytes p) { return load<std::uint32_t>(p, kMetaOffset + 4); }
inline Tree meta_free_tree(Bytes p) { return tree_at(p, kMetaOffset + 24); }
inline Tree meta_main_tree(Bytes p) { return tree_at(p, kMetaOffset + 72); }
inline std::uint64_t meta_last_page(Bytes p) { return load<std::uint64_t>(p, kMetaOffset + 120); }
inline std::uint64_t meta_txnid(Bytes p) { return load<std::uint64_t>(p, kMetaOffset + 128); }

inline constexpr std::size_t even(std::size_t n) { return (n + 1) & ~std::size_t{1}; }
// Pages an overflow run needs for data of the given size.
inline constexpr std::uint64_t overflow_pages_for(std::uint64_t data_size, std::uint32_t page_size) {
    return (kPageHeader - 1 + data_size) / page_size + 1;
}
// The largest node LMDB keeps inline on a leaf; larger data goes to overflow pages.
inline constexpr std::size_t max_inline_node(std::uint32_t page_size) {
    return (((page_size - kPageHeader) / kMinKeysPerPage) & ~std::size_t{1}) - 2;
}

}  // namespace tessello::lmdb_format
