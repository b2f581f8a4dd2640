#pragma once
// RowBlock: rows of floats, each of its own length, stored one after another
// in one buffer, so that a batch of many rows costs one allocation instead of
// one per row. Rows are read and changed in place as spans, valid until the
// next append. Not thread safe; a value type.
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

namespace tessello {

class RowBlock {
public:
    RowBlock() = default;
    RowBlock(std::initializer_list<std::vector<float>> rows) {
        for (const auto& row : rows) push_back(row);
    }

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }

    std::span<float> operator[](std::size_t i) { return {values_.data() + begin(i), ends_[i] - begin(i)}; }
    std::span<const float> operator[](std::size_t i) const {
        return {values_.data() + begin(i), ends_[i] - begin(i)};
    }

    // Room for `rows` more rows holding `values` floats in all.
    void reserve(std::size_t rows, std::size_t values) {
        ends_.reserve(ends_.size() + rows);
        values_.reserve(values_.size() + values);
    }
    // A new last row of n floats (zero), for the caller to fill.
    std::span<float> append(std::size_t n) {
        const std::size_t at = values_.size();
        values_.resize(at + n);
        ends_.push_back(at + n);
        return {values_.data() + at, n};
    }
    void push_back(std::span<const float> row) {
        auto out = append(row.size());
        std::copy(row.begin(), row.end(), out.begin());
    }
    void push_back(std::initializer_list<float> row) { push_back(std::span<const float>(row.begin(), row.size())); }
    void clear() {
        values_.clear();
        ends_.clear();
    }

private:
    std::size_t begin(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }

    std::vector<float> values_;
    std::vector<std::size_t> ends_;  // one past each row's last float
};

}  // namespace tessello
