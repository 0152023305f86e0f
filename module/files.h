// Descriptors, and what the files this module opens itself must be:
// database files in open(), dump files in dump() and load().
#ifndef KVSTORE_FILES_H
#define KVSTORE_FILES_H

#include "kvstore.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kvstore {

// An open descriptor, closed when its owner goes unless handed on.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int hand_on() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// False with `error` set (errno EISDIR for a folder, EINVAL for anything
// else, with the name) unless `status` is a regular file's: a FIFO would
// block, a device or a folder is no file to read or replace.
bool ensure_regular(module_state *state, const struct stat &status, const char *name);

}  // namespace kvstore

#endif
