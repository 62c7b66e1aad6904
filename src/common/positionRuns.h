#pragma once
// Positions of filled-in samples, held as runs of consecutive positions. A gap of
// 200,000 samples is one entry, not 200,000: memory follows the number of gaps (at
// most a few per packet read) instead of the number of samples invented, which a
// damaged file of a few kilobytes could otherwise drive to gigabytes. Reads like a
// list of positions: size, front, back, indexing and iteration give single positions.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace sensconv {

class positionRuns {
public:
    struct run {
        int64_t first = 0;
        int64_t count = 0;
    };

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = int64_t;
        using difference_type = std::ptrdiff_t;
        using pointer = const int64_t*;
        using reference = int64_t;

        const_iterator() = default;
        const_iterator(const std::vector<run>* runs, size_t index) : runs_(runs), index_(index) {}

        int64_t operator*() const { return (*runs_)[index_].first + offset_; }
        const_iterator& operator++() {
            if (++offset_ == (*runs_)[index_].count) {
                ++index_;
                offset_ = 0;
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const {
            return index_ == other.index_ && offset_ == other.offset_;
        }

    private:
        const std::vector<run>* runs_ = nullptr;
        size_t index_ = 0;
        int64_t offset_ = 0;
    };
    using iterator = const_iterator;
    using value_type = int64_t;

    // Appends one position; one that follows the last run directly extends it.
    void push_back(int64_t position) {
        if (!runs_.empty() && runs_.back().first + runs_.back().count == position) {
            ++runs_.back().count;
        } else {
            runs_.push_back({position, 1});
        }
        ++size_;
    }

    // Appends count consecutive positions starting at first.
    void appendRun(int64_t first, int64_t count) {
        if (count <= 0) return;
        if (!runs_.empty() && runs_.back().first + runs_.back().count == first) {
            runs_.back().count += count;
        } else {
            runs_.push_back({first, count});
        }
        size_ += static_cast<size_t>(count);
    }

    void clear() {
        runs_.clear();
        size_ = 0;
    }

    bool empty() const { return size_ == 0; }
    // Number of positions (not of runs).
    size_t size() const { return size_; }
    int64_t front() const { return runs_.front().first; }
    int64_t back() const { return runs_.back().first + runs_.back().count - 1; }
    // The i-th position; walks the runs, so meant for checks rather than loops.
    int64_t operator[](size_t i) const {
        for (const run& r : runs_) {
            if (i < static_cast<size_t>(r.count)) return r.first + static_cast<int64_t>(i);
            i -= static_cast<size_t>(r.count);
        }
        return -1;
    }

    const std::vector<run>& runs() const { return runs_; }
    const_iterator begin() const { return {&runs_, 0}; }
    const_iterator end() const { return {&runs_, runs_.size()}; }

    friend bool operator==(const positionRuns& a, const std::vector<int64_t>& b) {
        if (a.size() != b.size()) return false;
        size_t i = 0;
        for (const int64_t position : a) {
            if (position != b[i++]) return false;
        }
        return true;
    }

private:
    std::vector<run> runs_;
    size_t size_ = 0;
};

}  // namespace sensconv
