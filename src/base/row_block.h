#pragma once
// RowBlock: rows of floats, each of its own length, stored one after another
// in a few large chunks, so that a batch of many rows costs a few allocations
// instead of one per row. The chunks stay small enough for the allocator to
// serve them from memory it already holds (a single buffer of a whole batch
// would be mapped afresh, and faulted in, on every batch). Rows are read and
// changed in place as spans; a row never moves. Not thread safe; movable.
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace tessello {

class RowBlock {
public:
    RowBlock() = default;
    RowBlock(std::initializer_list<std::vector<float>> rows) {
        for (const auto& row : rows) push_back(row);
    }
    RowBlock(RowBlock&& other) noexcept { take(other); }
    RowBlock& operator=(RowBlock&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }

    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }

    std::span<float> operator[](std::size_t i) { return rows_[i]; }
    std::span<const float> operator[](std::size_t i) const { return rows_[i]; }

    // Room for `rows` more rows.
    void reserve(std::size_t rows) { rows_.reserve(rows_.size() + rows); }
    // A new last row of n floats, left for the caller to fill.
    std::span<float> append(std::size_t n) {
        if (n > left_) {
            const std::size_t size = std::max(n, kChunkFloats);
            chunks_.push_back(std::make_unique_for_overwrite<float[]>(size));
            next_ = chunks_.back().get();
            left_ = size;
        }
        std::span<float> row(next_, n);
        next_ += n;
        left_ -= n;
        rows_.push_back(row);
        return row;
    }
    void push_back(std::span<const float> row) { std::ranges::copy(row, append(row.size()).begin()); }
    void push_back(std::initializer_list<float> row) { push_back(std::span<const float>(row.begin(), row.size())); }
    void clear() {
        rows_.clear();
        chunks_.clear();
        next_ = nullptr;
        left_ = 0;
    }

private:
    void take(RowBlock& other) {
        rows_ = std::exchange(other.rows_, {});
        chunks_ = std::exchange(other.chunks_, {});
        next_ = std::exchange(other.next_, nullptr);
        left_ = std::exchange(other.left_, 0);
    }

    // 64 KiB: below the smallest size from which the allocator maps a
    // block of its own (128 KiB until it learns larger ones).
    static constexpr std::size_t kChunkFloats = std::size_t{1} << 14;

    std::vector<std::span<float>> rows_;
    std::vector<std::unique_ptr<float[]>> chunks_;
    float* next_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace tessello
