// An open descriptor's owner, shared by the files a call makes (files.h)
// and the sweep of what killed processes left (temporary_names.cpp).
#ifndef KVSTORE_DESCRIPTOR_H
#define KVSTORE_DESCRIPTOR_H

#include <unistd.h>
#include <utility>

namespace kvstore {

// An open descriptor, closed when its owner goes unless handed on.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(-1); }
    int get() const noexcept { return fd_; }
    int hand_on() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept
    {
        if (int old = std::exchange(fd_, fd); old >= 0) {
            close(old);
        }
    }

private:
    int fd_;
};

}  // namespace kvstore

#endif
