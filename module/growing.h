// A growing array of plain values that reports a failed allocation as
// MemoryError rather than a C++ exception: the records of a dump file on
// their way into the database, the buffers of the files dump() and load()
// use.
#ifndef KVSTORE_GROWING_H
#define KVSTORE_GROWING_H

#include "fault.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace kvstore {

template <class T>
class Growing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Growing() noexcept = default;
    Growing(const Growing &) = delete;
    Growing &operator=(const Growing &) = delete;
    ~Growing() { std::free(items_); }

    T *data() noexcept { return items_; }
    const T *data() const noexcept { return items_; }
    size_t size() const noexcept { return size_; }
    T &operator[](size_t i) noexcept { return items_[i]; }
    const T &operator[](size_t i) const noexcept { return items_[i]; }

    // Room for `more` items past the end; false with MemoryError set.
    bool reserve_more(size_t more)
    {
        return capacity_ - size_ >= more || grow(more);
    }
    bool push_back(const T &item)
    {
        if (!reserve_more(1)) {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    // Counts `count` items written past the end, within the reserved room.
    void extend(size_t count) noexcept { size_ += count; }
    void resize_down(size_t size) noexcept { size_ = std::min(size, size_); }

private:
    bool grow(size_t more)
    {
        size_t limit = SIZE_MAX / sizeof(T);
        if (more > limit - size_) {
            PyErr_NoMemory();
            return false;
        }
        size_t wanted = std::max({size_ + more, std::min(capacity_, limit / 2) * 2, size_t{16}});
        void *grown = fault::injected() ? nullptr : std::realloc(items_, wanted * sizeof(T));
        if (grown == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_NoMemory();
            }
            return false;
        }
        items_ = static_cast<T *>(grown);
        capacity_ = wanted;
        return true;
    }

    T *items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kvstore

#endif
