// Growable array with a fixed growth rule, so that the memory profile of the
// clustering does not depend on the standard library's vector policy.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace cl {

// Capacity after `capacity` is exhausted: 16 to start, doubling while small,
// growing by half in the middle range to limit slack, doubling again beyond.
inline std::size_t grownCapacity(std::size_t capacity)
{
    if (capacity == 0) return 16;
    if (capacity < 4096) return 2 * capacity;
    if (capacity < 131072) return (3 * capacity + 1) / 2;
    return 2 * capacity;
}

template <typename T>
class Array {
public:
    Array() = default;
    explicit Array(std::size_t size) : items_(size) {}
    Array(std::size_t size, const T& value) : items_(size, value) {}
    virtual ~Array() = default;
    Array(const Array&) = default;
    Array(Array&&) noexcept = default;
    Array& operator=(const Array&) = default;
    Array& operator=(Array&&) noexcept = default;

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    std::size_t capacity() const { return items_.capacity(); }

    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T* data() { return items_.data(); }
    const T* data() const { return items_.data(); }
    T* begin() { return items_.data(); }
    T* end() { return items_.data() + items_.size(); }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + items_.size(); }
    T& back() { return items_.back(); }
    const T& back() const { return items_.back(); }

    void push_back(const T& value)
    {
        if (items_.size() == items_.capacity()) items_.reserve(grownCapacity(items_.capacity()));
        items_.push_back(value);
    }

    // Sizes the array at once; used where the final length is known.
    void resize(std::size_t size) { items_.resize(size); }
    void resize(std::size_t size, const T& value) { items_.resize(size, value); }
    void reserve(std::size_t capacity) { items_.reserve(capacity); }
    void clear() { items_.clear(); }
    void swap(Array& other) noexcept { items_.swap(other.items_); }

private:
    std::vector<T> items_;
};

}  // namespace cl
