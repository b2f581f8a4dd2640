#include "storage/lmdb_file_check.h"

#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/lmdb_errors.h"
#include "storage/lmdb_format.h"

namespace tessello {

namespace {

namespace f = lmdb_format;
using f::Bytes;

// The three kinds of tree in a file; they differ in key order and in what a
// leaf holds.
enum class TreeKind {
    Free,   // keys: 8-byte transaction ids in integer order; data: page lists
    Main,   // keys: table names; data: the tables' tree descriptors
    Table,  // keys and values of one named table, keys in byte order
};

std::string page_text(std::uint64_t pgno) { return "page " + std::to_string(pgno); }

Status read_exact(int fd, std::uint8_t* out, std::size_t n, std::uint64_t at) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(from_database_error(errno));
        // The size was taken under the file's lock; a shorter read means
        // something cut the file meanwhile.
        if (got == 0) return fail(from_database_error(EIO));
        out += got;
        n -= static_cast<std::size_t>(got);
        at += static_cast<std::uint64_t>(got);
    }
    return {};
}

// LMDB's key orders: unsigned byte order, a prefix first; the free-page
// tree's keys as integers.
int compare_keys(TreeKind kind, Bytes a, Bytes b) {
    if (kind == TreeKind::Free) {
        const auto x = f::load<std::uint64_t>(a, 0), y = f::load<std::uint64_t>(b, 0);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    const std::size_t n = std::min(a.size(), b.size());
    if (n > 0)
        if (const int c = std::memcmp(a.data(), b.data(), n); c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool valid_page_size(std::uint32_t size) {
    return size >= f::kMinPageSize && size <= f::kMaxPageSize && (size & (size - 1)) == 0;
}

class Checker {
public:
    Checker(int fd, std::uint64_t size, std::initializer_list<std::string_view> tables)
        : fd_(fd), size_(size), known_(tables) {}
    Status run();

private:
    struct TreeWalk {
        TreeKind kind;
        std::string name;  // for messages
        unsigned depth;    // the depth the descriptor claims: leaves lie there
    };

    Status check_metas();
    Status walk_tree(TreeKind kind, std::string name, const f::Tree& tree);
    Status walk_page(const TreeWalk& walk, std::uint64_t pgno, unsigned level, std::optional<Bytes> low,
                     std::optional<Bytes> high);
    Status check_nodes(const TreeWalk& walk, std::uint64_t pgno, Bytes page, bool leaf);
    Status check_leaf_data(const TreeWalk& walk, std::uint64_t pgno, Bytes page, std::size_t node, std::size_t i);
    Status check_overflow(const TreeWalk& walk, std::uint64_t pgno, std::uint64_t first, std::uint32_t data_size);
    Status check_free_list(std::uint64_t pgno, Bytes key, Bytes list);
    // Claims a page for one use; false when it was claimed before.
    bool claim(std::uint64_t pgno);
    // Pages LMDB will read: inside the file and within the snapshot. where()
    // names them in the message (made only on failure: this runs per page).
    template <class Where>
    Status readable(std::uint64_t pgno, std::uint64_t count, const Where& where) const {
        if (pgno < f::kMetaPages || pgno > last_page_ || count > last_page_ - pgno + 1)
            return fail(corrupted(where() + " lies outside the pages of the snapshot (2 to " +
                                  std::to_string(last_page_) + ")"));
        if (pgno + count > file_pages_) return fail(truncated());
        return {};
    }

    StoreError corrupted(const std::string& what) const {
        return StoreError::text(StoreError::Database, "file is corrupted: " + what);
    }
    StoreError truncated() const {
        std::uint64_t need = std::numeric_limits<std::uint64_t>::max();
        if (last_page_ < need / page_size_ - 1) need = (last_page_ + 1) * page_size_;
        return StoreError::text(StoreError::Database, "file is truncated: " + std::to_string(size_) +
                                                          " bytes, its pages need " + std::to_string(need));
    }
    std::string where(const TreeWalk& walk, std::uint64_t pgno) const { return page_text(pgno) + " of " + walk.name; }

    int fd_;
    std::uint64_t size_;
    std::vector<std::string_view> known_;
    std::uint32_t page_size_ = f::kMinPageSize;
    std::uint64_t file_pages_ = 0;  // pages wholly inside the file
    std::uint64_t last_page_ = 1;
    std::uint64_t txnid_ = 0;
    std::array<std::uint8_t, f::kMetaEnd> meta_[2] = {};
    int current_ = 0;  // the meta LMDB picks

    std::vector<std::uint64_t> claimed_;  // one bit a page
    std::vector<std::vector<std::uint8_t>> levels_ = std::vector<std::vector<std::uint8_t>>(f::kMaxDepth + 1);
    std::vector<std::pair<std::uint16_t, std::uint16_t>> spans_;  // node offset, size: scratch of check_nodes
    std::vector<std::uint8_t> list_;                               // a free-page list read from overflow pages
    std::vector<std::pair<std::string, f::Tree>> tables_;
};

Status Checker::run() {
    if (size_ == 0) return {};  // a new file: LMDB writes its meta pages
    if (auto st = check_metas(); !st) return st;

    const Bytes meta(meta_[current_]);
    last_page_ = f::meta_last_page(meta);
    txnid_ = f::meta_txnid(meta);
    file_pages_ = size_ / page_size_;
    if (last_page_ < f::kMetaPages - 1) return fail(corrupted("the last page number " + std::to_string(last_page_) +
                                                             " leaves no room for the meta pages"));
    if (file_pages_ < f::kMetaPages) return fail(truncated());
    // Every page past the end must be a free one, and each free page is 8
    // bytes of some list inside the file: a claim beyond that cannot be met.
    if (last_page_ >= file_pages_ + size_ / 8) return fail(truncated());
    claimed_.assign(last_page_ / 64 + 1, 0);
    claimed_[0] |= 3;  // the meta pages

    const f::Tree free_tree = f::meta_free_tree(meta);
    const f::Tree main_tree = f::meta_main_tree(meta);
    if ((free_tree.flags & f::kTreeLayoutFlags) != f::kIntegerKey)
        return fail(corrupted("the free-page tree has flags " + std::to_string(free_tree.flags)));
    if (main_tree.flags != 0)
        return fail(corrupted("the table tree has flags " + std::to_string(main_tree.flags)));
    if (auto st = walk_tree(TreeKind::Free, "the free-page tree", free_tree); !st) return st;
    if (auto st = walk_tree(TreeKind::Main, "the table tree", main_tree); !st) return st;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        // A table name hit by damage would make the table read as empty.
        if (std::find(known_.begin(), known_.end(), tables_[i].first) == known_.end())
            return fail(corrupted("it holds a table \"" + tables_[i].first + "\" that this file never has"));
        if (tables_[i].second.flags != 0)
            return fail(corrupted("table \"" + tables_[i].first + "\" has flags " +
                                  std::to_string(tables_[i].second.flags)));
        auto [name, tree] = tables_[i];
        if (auto st = walk_tree(TreeKind::Table, "table \"" + name + "\"", tree); !st) return st;
    }

    // LMDB may leave the last pages unwritten when the transaction that took
    // them freed them again; any other page past the end is lost.
    for (std::uint64_t p = file_pages_; p <= last_page_; ++p)
        if (!(claimed_[p / 64] >> (p % 64) & 1)) return fail(truncated());
    return {};
}

Status Checker::check_metas() {
    if (size_ < f::kMetaEnd) {
        // Too short for LMDB's header. A start that is LMDB's is a cut file;
        // anything else is what LMDB itself would call it.
        std::array<std::uint8_t, f::kMetaEnd> head{};
        if (auto st = read_exact(fd_, head.data(), size_, 0); !st) return st;
        const Bytes b(head);
        if (size_ >= f::kMetaOffset + 4 && (f::page_flags(b) & f::kMeta) && f::meta_magic(b) == f::kMagic) {
            if (size_ >= f::kMetaOffset + 28 && valid_page_size(f::load<std::uint32_t>(b, f::kMetaOffset + 24)))
                page_size_ = f::load<std::uint32_t>(b, f::kMetaOffset + 24);
            last_page_ = f::kMetaPages - 1;
            return fail(truncated());
        }
        return fail(from_database_error(MDB_INVALID));
    }
    for (int i = 0; i < 2; ++i) {
        // LMDB finds the second meta one page size (as the first gives it) in.
        const std::uint64_t at = i == 0 ? 0 : page_size_;
        if (i == 1 && size_ < at + f::kMetaEnd) {
            last_page_ = std::max<std::uint64_t>(f::meta_last_page(Bytes(meta_[0])), f::kMetaPages - 1);
            return fail(truncated());
        }
        if (auto st = read_exact(fd_, meta_[i].data(), f::kMetaEnd, at); !st) return st;
        const Bytes m(meta_[i]);
        // What LMDB refuses by itself keeps LMDB's text.
        if (!(f::page_flags(m) & f::kMeta) || f::meta_magic(m) != f::kMagic)
            return fail(from_database_error(MDB_INVALID));
        if (f::meta_version(m) != f::kDataVersion) return fail(from_database_error(MDB_VERSION_MISMATCH));
        const std::string name = "meta page " + std::to_string(i);
        if (f::page_number(m) != static_cast<std::uint64_t>(i) || f::page_flags(m) != f::kMeta)
            return fail(corrupted(name + " has a damaged page header"));
        const std::uint32_t psize = f::meta_free_tree(m).pad;
        if (!valid_page_size(psize))
            return fail(corrupted(name + " gives a page size of " + std::to_string(psize)));
        if (i == 1 && psize != page_size_)
            return fail(corrupted("the meta pages give page sizes " + std::to_string(page_size_) + " and " +
                                  std::to_string(psize)));
        page_size_ = psize;
    }
    // LMDB picks the meta with the larger transaction id, but its
    // transactions then use the meta of that id's parity. Each commit writes
    // the meta of its own parity with the id after the other's, so the two
    // ids are consecutive (both 0 in a file never written).
    const std::uint64_t t0 = f::meta_txnid(Bytes(meta_[0])), t1 = f::meta_txnid(Bytes(meta_[1]));
    current_ = t0 < t1 ? 1 : 0;
    const std::uint64_t now = current_ ? t1 : t0, before = current_ ? t0 : t1;
    const bool consecutive = now == 0 ? before == 0 : before == now - 1;
    if ((now & 1) != static_cast<std::uint64_t>(current_) || !consecutive)
        return fail(corrupted("the meta pages' transaction ids " + std::to_string(t0) + " and " + std::to_string(t1) +
                              " are not those of two consecutive commits"));
    return {};
}

bool Checker::claim(std::uint64_t pgno) {
    std::uint64_t& word = claimed_[pgno / 64];
    const std::uint64_t bit = std::uint64_t{1} << (pgno % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
}

Status Checker::walk_tree(TreeKind kind, std::string name, const f::Tree& tree) {
    if (tree.root == f::kInvalidPage) {
        if (tree.depth != 0) return fail(corrupted(name + " is empty but claims depth " + std::to_string(tree.depth)));
        return {};
    }
    if (tree.depth == 0 || tree.depth > f::kMaxDepth)
        return fail(corrupted(name + " claims depth " + std::to_string(tree.depth)));
    const TreeWalk walk{kind, std::move(name), tree.depth};
    return walk_page(walk, tree.root, 1, std::nullopt, std::nullopt);
}

Status Checker::walk_page(const TreeWalk& walk, std::uint64_t pgno, unsigned level, std::optional<Bytes> low,
                          std::optional<Bytes> high) {
    auto at = [&] { return where(walk, pgno); };
    if (auto st = readable(pgno, 1, at); !st) return st;
    if (!claim(pgno)) return fail(corrupted(at() + " is in use twice"));
    std::vector<std::uint8_t>& buffer = levels_[level];
    buffer.resize(page_size_);
    if (auto st = read_exact(fd_, buffer.data(), page_size_, pgno * page_size_); !st) return st;
    const Bytes page(buffer);

    if (f::page_number(page) != pgno)
        return fail(corrupted(at() + " holds page " + std::to_string(f::page_number(page))));
    const bool leaf = level == walk.depth;
    if (f::page_flags(page) != (leaf ? f::kLeaf : f::kBranch))
        return fail(corrupted(at() + " has page flags " + std::to_string(f::page_flags(page)) + " where a " +
                              (leaf ? "leaf" : "branch") + " page belongs (depth " + std::to_string(level) + " of " +
                              std::to_string(walk.depth) + ")"));
    if (auto st = check_nodes(walk, pgno, page, leaf); !st) return st;

    // Keys in order, each within the range its parent gives the page.
    const std::size_t count = (f::page_lower(page) - f::kPageHeader) / 2;
    auto key_of = [&](std::size_t i) {
        const std::size_t node = f::node_offset(page, i);
        return page.subspan(node + f::kNodeHeader, f::node_key_size(page, node));
    };
    // A branch's first key is never compared: its child holds everything
    // below the second key.
    for (std::size_t i = leaf ? 0 : 1; i < count; ++i) {
        const Bytes key = key_of(i);
        if (key.empty() || (walk.kind == TreeKind::Free && key.size() != 8))
            return fail(corrupted(at() + " holds a key of " + std::to_string(key.size()) + " bytes"));
        const bool after_previous = i == (leaf ? 0 : 1) ? !low || compare_keys(walk.kind, *low, key) <= 0
                                                        : compare_keys(walk.kind, key_of(i - 1), key) < 0;
        if (!after_previous || (high && compare_keys(walk.kind, key, *high) >= 0))
            return fail(corrupted(at() + " holds its keys out of order (node " + std::to_string(i) + ")"));
    }

    if (leaf) {
        for (std::size_t i = 0; i < count; ++i)
            if (auto st = check_leaf_data(walk, pgno, page, f::node_offset(page, i), i); !st) return st;
        return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t node = f::node_offset(page, i);
        const std::optional<Bytes> child_low = i == 0 ? low : std::optional<Bytes>(key_of(i));
        const std::optional<Bytes> child_high = i + 1 == count ? high : std::optional<Bytes>(key_of(i + 1));
        if (auto st = walk_page(walk, f::node_child(page, node), level + 1, child_low, child_high); !st) return st;
    }
    return {};
}

// The node table and the nodes: every offset inside the page, every node
// inside it, and the nodes laid end to end from the free gap's upper bound to
// the page's end, as LMDB keeps them when it adds and removes nodes.
Status Checker::check_nodes(const TreeWalk& walk, std::uint64_t pgno, Bytes page, bool leaf) {
    auto at = [&] { return where(walk, pgno); };
    auto node_fault = [&](std::size_t i, const std::string& what) {
        return fail(corrupted(at() + " node " + std::to_string(i) + " " + what));
    };
    const std::size_t lower = f::page_lower(page), upper = f::page_upper(page);
    if (lower < f::kPageHeader || (lower - f::kPageHeader) % 2 != 0 || lower > upper || upper > page_size_)
        return fail(corrupted(at() + " has free-space bounds " + std::to_string(lower) + " and " + std::to_string(upper)));
    const std::size_t count = (lower - f::kPageHeader) / 2;
    // LMDB asserts that a branch it descends through has two children; only
    // the free-page tree is spared that.
    const std::size_t least = leaf ? 1 : walk.kind == TreeKind::Free ? 1 : 2;
    if (count < least) return fail(corrupted(at() + " holds " + std::to_string(count) + " nodes"));

    const std::size_t max_inline = f::max_inline_node(page_size_);
    spans_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t node = f::node_offset(page, i);
        if (node % 2 != 0 || node < upper || node + f::kNodeHeader > page_size_)
            return node_fault(i, "lies outside the page (offset " + std::to_string(node) + ")");
        if (f::node_key_size(page, node) > f::kMaxKeySize)
            return node_fault(i, "has a key of " + std::to_string(f::node_key_size(page, node)) + " bytes");
        std::size_t size = f::kNodeHeader + f::node_key_size(page, node);
        if (leaf) {
            const std::uint16_t flags = f::node_flags(page, node);
            const std::uint32_t data = f::node_data_size(page, node);
            const bool flags_fit = walk.kind == TreeKind::Main ? flags == f::kSubData
                                                               : flags == 0 || flags == f::kBigData;
            if (!flags_fit) return node_fault(i, "has node flags " + std::to_string(flags));
            if (flags & f::kBigData) {
                size += 8;
            } else {
                if (size + data > max_inline)
                    return node_fault(i, "claims " + std::to_string(data) + " bytes of data inside the page");
                size += data;
            }
        }
        if (node + size > page_size_)
            return node_fault(i, "runs past the end of the page");
        spans_.emplace_back(static_cast<std::uint16_t>(node), static_cast<std::uint16_t>(f::even(size)));
    }
    std::sort(spans_.begin(), spans_.end());
    std::size_t next = upper;
    for (const auto& [node, size] : spans_) {
        if (node != next) return fail(corrupted(at() + " has nodes that overlap or leave gaps (offset " +
                                                std::to_string(node) + ")"));
        next = node + size;
    }
    if (next != page_size_) return fail(corrupted(at() + " has nodes that end before the page does"));
    return {};
}

Status Checker::check_leaf_data(const TreeWalk& walk, std::uint64_t pgno, Bytes page, std::size_t node,
                                std::size_t i) {
    const std::uint32_t data_size = f::node_data_size(page, node);
    const Bytes key = page.subspan(node + f::kNodeHeader, f::node_key_size(page, node));
    const std::size_t data_at = node + f::kNodeHeader + key.size();
    if (walk.kind == TreeKind::Main) {
        if (data_size != f::kTreeSize)
            return fail(corrupted(where(walk, pgno) + " node " + std::to_string(i) + " holds a table descriptor of " +
                                  std::to_string(data_size) + " bytes"));
        tables_.emplace_back(std::string(key.begin(), key.end()), f::tree_at(page, data_at));
        return {};
    }
    const bool big = f::node_flags(page, node) & f::kBigData;
    std::uint64_t first = 0;
    if (big) {
        first = f::load<std::uint64_t>(page, data_at);
        if (auto st = check_overflow(walk, pgno, first, data_size); !st) return st;
    }
    if (walk.kind != TreeKind::Free) return {};  // values are their readers' business
    if (!big) return check_free_list(pgno, key, page.subspan(data_at, data_size));
    list_.resize(data_size);
    if (auto st = read_exact(fd_, list_.data(), data_size, first * page_size_ + f::kPageHeader); !st) return st;
    return check_free_list(pgno, key, Bytes(list_));
}

Status Checker::check_overflow(const TreeWalk& walk, std::uint64_t pgno, std::uint64_t first,
                               std::uint32_t data_size) {
    auto overflow_text = [&](std::uint64_t p) { return "overflow " + page_text(p) + " (from " + where(walk, pgno) + ")"; };
    auto at = [&] { return overflow_text(first); };
    if (auto st = readable(first, 1, at); !st) return st;
    std::array<std::uint8_t, f::kPageHeader> header;
    if (auto st = read_exact(fd_, header.data(), header.size(), first * page_size_); !st) return st;
    const Bytes h(header);
    if (f::page_number(h) != first || f::page_flags(h) != f::kOverflow)
        return fail(corrupted(at() + " is not an overflow page"));
    // LMDB reuses a run in place for smaller data, so a run may be longer
    // than its data needs, never shorter.
    const std::uint64_t count = f::overflow_count(h);
    if (count < f::overflow_pages_for(data_size, page_size_))
        return fail(corrupted(at() + " has " + std::to_string(count) + " pages for " + std::to_string(data_size) +
                              " bytes"));
    if (auto st = readable(first, count, at); !st) return st;
    for (std::uint64_t p = first; p < first + count; ++p)
        if (!claim(p)) return fail(corrupted(overflow_text(p) + " is in use twice"));
    return {};
}

// A free-page list: its length, then that many page numbers in descending
// order (a record LMDB reserved may hold room for more than it lists).
Status Checker::check_free_list(std::uint64_t pgno, Bytes key, Bytes list) {
    const std::uint64_t txn = f::load<std::uint64_t>(key, 0);
    auto at = [&] { return "the free-page list of transaction " + std::to_string(txn) + " (" + page_text(pgno) + ")"; };
    if (txn > txnid_)
        return fail(corrupted(at() + " is newer than the snapshot (transaction " + std::to_string(txnid_) + ")"));
    if (list.size() < 8 || list.size() % 8 != 0)
        return fail(corrupted(at() + " is " + std::to_string(list.size()) + " bytes long"));
    const std::uint64_t n = f::load<std::uint64_t>(list, 0);
    if (n > list.size() / 8 - 1) return fail(corrupted(at() + " claims " + std::to_string(n) + " pages"));
    std::uint64_t previous = std::numeric_limits<std::uint64_t>::max();
    for (std::uint64_t i = 1; i <= n; ++i) {
        const std::uint64_t free_page = f::load<std::uint64_t>(list, i * 8);
        if (free_page < f::kMetaPages || free_page > last_page_ || free_page >= previous)
            return fail(corrupted(at() + " lists " + page_text(free_page) + " out of order or outside the snapshot"));
        previous = free_page;
        if (!claim(free_page)) return fail(corrupted("free " + page_text(free_page) + " in " + at() + " is in use twice"));
    }
    return {};
}

}  // namespace

Status check_lmdb_file(int fd, std::initializer_list<std::string_view> tables) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(from_database_error(errno));
    Checker checker(fd, static_cast<std::uint64_t>(st.st_size), tables);
    return checker.run();
}

}  // namespace tessello
