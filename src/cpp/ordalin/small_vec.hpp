// A vector that keeps its first N elements inline: the walk's per-dictionary
// lists (entries, results, coverage) are small and short-lived, so they
// should not cost a heap allocation each.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace ordalin {

template <typename T, size_t N>
class SmallVec {
public:
    SmallVec() = default;
    SmallVec(const SmallVec &) = delete;
    SmallVec &operator=(const SmallVec &) = delete;
    ~SmallVec() { clear(); }

    size_t size() const { return heap_used_ ? heap_.size() : size_; }
    bool empty() const { return size() == 0; }
    T *begin() { return heap_used_ ? heap_.data() : inline_data(); }
    T *end() { return begin() + size(); }
    const T *begin() const { return heap_used_ ? heap_.data() : inline_data(); }
    const T *end() const { return begin() + size(); }
    T &operator[](size_t i) { return begin()[i]; }
    const T &operator[](size_t i) const { return begin()[i]; }
    T &front() { return *begin(); }
    T &back() { return end()[-1]; }

    void reserve(size_t n) {
        if (n > N && !heap_used_) spill(n);
        else if (heap_used_) heap_.reserve(n);
    }
    void push_back(T value) {
        if (heap_used_) {
            heap_.push_back(std::move(value));
            return;
        }
        if (size_ == N) {
            spill(2 * N);
            heap_.push_back(std::move(value));
            return;
        }
        new (inline_data() + size_) T(std::move(value));
        ++size_;
    }
    void pop_back() {
        if (heap_used_) {
            heap_.pop_back();
            return;
        }
        --size_;
        inline_data()[size_].~T();
    }
    void clear() {
        if (heap_used_) {
            heap_.clear();
            return;
        }
        while (size_) pop_back();
    }
private:
    T *inline_data() { return reinterpret_cast<T *>(storage_); }
    const T *inline_data() const { return reinterpret_cast<const T *>(storage_); }
    void spill(size_t capacity) {
        heap_.reserve(capacity);
        for (size_t i = 0; i < size_; ++i) heap_.push_back(std::move(inline_data()[i]));
        while (size_) pop_back();
        heap_used_ = true;
    }

    alignas(T) unsigned char storage_[N * sizeof(T)];
    size_t size_ = 0;
    bool heap_used_ = false;
    std::vector<T> heap_;
};

}  // namespace ordalin
